// Maker notes: the reader's choice of table, directory and offset rule per
// camera maker, the Nikon forms, value texts, "Skip" rows, the Fuji note's
// fixed byte order, values outside the note, and walks that fail part-way.
// Notes are built here in the layouts the cameras write, inside EXIF blocks
// made with ExifWriter.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metadata/img_data.h"
#include "metadata/maker_note.h"
#include "metadata/maker_tables.h"
#include "tests/metadata/exif_writer.h"
#include "tests/metadata/xml_check.h"

namespace skalo {
namespace {

using exiftest::Bytes;
using exiftest::ExifWriter;

constexpr std::uint16_t kTagMakerNote = 0x927C;

// One entry of a note directory. Values longer than four bytes go after the
// directory; `field` writes the value field verbatim instead.
struct NoteEntry {
  std::uint16_t tag = 0;
  std::uint16_t format = 0;
  std::uint32_t count = 0;
  Bytes value;
  std::optional<std::uint32_t> field;
};

class NoteBuilder {
 public:
  explicit NoteBuilder(bool big_endian) : big_(big_endian) {}

  Bytes U16(std::uint16_t v) const {
    return big_ ? Bytes{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}
                : Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  }
  Bytes U32(std::uint32_t v) const {
    Bytes out(4);
    for (int i = 0; i < 4; ++i)
      out[static_cast<std::size_t>(big_ ? 3 - i : i)] = static_cast<std::uint8_t>(v >> (8 * i));
    return out;
  }

  NoteBuilder& Short(std::uint16_t tag, std::vector<std::uint16_t> values) {
    Bytes b;
    for (auto v : values)
      Append(b, U16(v));
    return Add({tag, 3, static_cast<std::uint32_t>(values.size()), b, {}});
  }
  NoteBuilder& Long(std::uint16_t tag, std::uint32_t v) { return Add({tag, 4, 1, U32(v), {}}); }
  NoteBuilder& Rational(std::uint16_t tag, std::vector<std::pair<std::uint32_t, std::uint32_t>> r) {
    Bytes b;
    for (auto [n, d] : r) {
      Append(b, U32(n));
      Append(b, U32(d));
    }
    return Add({tag, 5, static_cast<std::uint32_t>(r.size()), b, {}});
  }
  NoteBuilder& Ascii(std::uint16_t tag, const std::string& text) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return Add({tag, 2, static_cast<std::uint32_t>(b.size()), b, {}});
  }
  NoteBuilder& Undefined(std::uint16_t tag, const Bytes& b) {
    return Add({tag, 7, static_cast<std::uint32_t>(b.size()), b, {}});
  }
  NoteBuilder& Verbatim(std::uint16_t tag, std::uint16_t format, std::uint32_t count,
                        std::uint32_t field) {
    return Add({tag, format, count, {}, field});
  }
  NoteBuilder& Add(NoteEntry e) {
    entries_.push_back(std::move(e));
    return *this;
  }

  // `prefix`, the directory, then the long values. A value at note position
  // q is written as offset q + bias.
  Bytes Build(const Bytes& prefix, std::int64_t bias) const {
    Bytes out = prefix;
    Append(out, U16(static_cast<std::uint16_t>(entries_.size())));
    const std::size_t values_at = out.size() + 12 * entries_.size() + 4;
    Bytes values;
    for (const NoteEntry& e : entries_) {
      Append(out, U16(e.tag));
      Append(out, U16(e.format));
      Append(out, U32(e.count));
      if (e.field) {
        Append(out, U32(*e.field));
      } else if (e.value.size() <= 4) {
        Bytes f = e.value;
        f.resize(4, 0);
        Append(out, f);
      } else {
        Append(out, U32(static_cast<std::uint32_t>(
                        static_cast<std::int64_t>(values_at + values.size()) + bias)));
        Append(values, e.value);
      }
    }
    Append(out, U32(0));
    Append(out, values);
    return out;
  }

 private:
  static void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
  }
  bool big_;
  std::vector<NoteEntry> entries_;
};

// A camera's EXIF block: Make and Model in IFD0, the EXIF directory with
// ExifVersion (when given), the maker note and, after it, ExifImageWidth 640.
struct Camera {
  bool big_endian = false;
  std::string make;
  std::string model = "Model";
  std::string version = "0220";
};

// The TIFF offset of the first occurrence of `needle`.
std::uint32_t OffsetOf(const Bytes& tiff, const Bytes& needle) {
  const auto at = std::search(tiff.begin(), tiff.end(), needle.begin(), needle.end());
  EXPECT_NE(at, tiff.end());
  return static_cast<std::uint32_t>(at - tiff.begin());
}

ExifWriter CameraWriter(const Camera& c, const Bytes& note) {
  ExifWriter w(c.big_endian);
  const int exif = w.AddDirectory();
  w.Ascii(0, 0x010F, c.make).Ascii(0, 0x0110, c.model).Pointer(0, 0x8769, exif);
  if (!c.version.empty()) w.Undefined(exif, 0x9000, exiftest::TextBytes(c.version));
  w.Undefined(exif, kTagMakerNote, note).Short(exif, 0xA002, {640});
  return w;
}

// The TIFF structure of the camera with the note that `make_note` builds
// for the note's TIFF offset (the note's length must not depend on it).
Bytes CameraTiff(const Camera& c, const std::function<Bytes(std::uint32_t)>& make_note) {
  Bytes probe = make_note(0);
  for (std::size_t i = 0; i < probe.size(); ++i)
    probe[i] = static_cast<std::uint8_t>(0x80 + (i * 7) % 61);
  const std::uint32_t at = OffsetOf(CameraWriter(c, probe).Tiff(), probe);
  return CameraWriter(c, make_note(at)).Tiff();
}

Bytes JpegHead(const Bytes& tiff) {
  Bytes out = {0xFF, 0xD8};
  const Bytes app1 = exiftest::ExifSegment(tiff);
  out.insert(out.end(), app1.begin(), app1.end());
  const Bytes sos = exiftest::Segment(0xDA, {1, 1, 0, 0, 63, 0});
  out.insert(out.end(), sos.begin(), sos.end());
  return out;
}

std::unique_ptr<TimgData> ScanJpeg(const Bytes& tiff) {
  auto data = std::make_unique<TimgData>(255);
  EXPECT_TRUE(data->ScanJpegData(JpegHead(tiff))) << data->StatusText();
  EXPECT_EQ(data->StatusText(), kStatusNone);
  return data;
}

// The maker entries as "Name=ValueText".
std::vector<std::string> MakerEntries(const TImageInfo& info) {
  std::vector<std::string> out;
  for (const TTagEntry& e : info.Entries())
    if (e.EntryKind == 1) out.push_back(e.Name + "=" + e.ValueText);
  return out;
}

using Strings = std::vector<std::string>;

Bytes Text(const std::string& s) {
  return exiftest::TextBytes(s);
}

Bytes NikonOwnHeader(bool big) {
  Bytes h = {'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0};
  const Bytes tiff = big ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8} : Bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
  h.insert(h.end(), tiff.begin(), tiff.end());
  return h;
}

class MakerByteOrder : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(BothOrders, MakerByteOrder, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Motorola" : "Intel"; });

TEST_P(MakerByteOrder, NikonNoteWithItsOwnHeader) {
  const bool big = GetParam();
  NoteBuilder nb(big);
  nb.Short(0x0002, {0, 200})
      .Ascii(0x0003, "COLOR")
      .Short(0x0010, {1})  // Skip
      .Rational(0x0084, {{180, 10}, {700, 10}, {35, 10}, {45, 10}})
      .Short(0x0099, {1});  // not in the table
  // Offsets count from the note's TIFF header at note offset 10.
  const Bytes note = nb.Build(NikonOwnHeader(big), -10);
  auto data = ScanJpeg(CameraWriter({big, "NIKON CORPORATION", "NIKON D70", "0220"}, note).Tiff());
  const TImageInfo& info = *data->ExifInfo();
  EXPECT_EQ(MakerEntries(info), (Strings{"ISOSpeed=0, 200", "ColorMode=\"COLOR\"",
                                         "LensInformation=180/10, 700/10, 35/10, 45/10"}));
  // The maker entries come right before the MakerNote entry, and the block's
  // own entries after it still read in the block's order.
  const std::int32_t note_index = info.FindEntry("MakerNote");
  ASSERT_GE(note_index, 3);
  EXPECT_EQ(info.Entries()[static_cast<std::size_t>(note_index - 1)].Name, "LensInformation");
  EXPECT_EQ(info.Entries()[static_cast<std::size_t>(note_index)].EntryKind, 0);
  EXPECT_EQ(info.PixelWidth(), 640);
  EXPECT_EQ(info.BigEndian(), big);
  EXPECT_EQ(info.Buffer(), data->ExifSlot()->Data);
}

TEST_P(MakerByteOrder, NikonFormsByVersionAndHeader) {
  const bool big = GetParam();
  // ExifVersion 0210 and a note starting "Nikon": the old table at note
  // offset 8, offsets from the block's TIFF header.
  const Bytes old_header = {'N', 'i', 'k', 'o', 'n', 0, 1, 0};
  const Bytes tiff = CameraTiff({big, "NIKON", "E950", "0210"}, [&](std::uint32_t at) {
    NoteBuilder nb(big);
    nb.Short(0x0003, {12}).Short(0x0006, {1}).Short(0x0009, {7}).Ascii(0x0008, "AF-C FOCUS");
    return nb.Build(old_header, at);
  });
  EXPECT_EQ(MakerEntries(*ScanJpeg(tiff)->ExifInfo()),
            (Strings{"Quality=2 Mpixel Fine", "ISOSpeed=", "Focus=\"AF-C FOCUS\""}));

  // ExifVersion 0210 and no header: the new table from note offset 0.
  const Bytes bare = CameraTiff({big, "Nikon", "E885", "0210"}, [&](std::uint32_t at) {
    NoteBuilder nb(big);
    nb.Short(0x0002, {100}).Ascii(0x0004, "FINE  ");
    return nb.Build({}, at);
  });
  EXPECT_EQ(MakerEntries(*ScanJpeg(bare)->ExifInfo()),
            (Strings{"ISOSpeed=100", "Quality=\"FINE  \""}));

  // Version 0221 is above 0210: the form with its own header, whatever the
  // note's first bytes.
  NoteBuilder nb(big);
  nb.Short(0x0002, {400});
  EXPECT_EQ(MakerEntries(*ScanJpeg(CameraWriter({big, "NIKON", "E5400", "0221"},
                                                nb.Build(NikonOwnHeader(big), -10))
                                       .Tiff())
                              ->ExifInfo()),
            (Strings{"ISOSpeed=400"}));
}

// TIFF sources without ExifVersion: the model's series letter picks the form
// with its own header; other models fall back to the note's first bytes.
// Offsets from the file's TIFF header address the same bytes as in a JPEG.
TEST_P(MakerByteOrder, NikonInTiffFiles) {
  const bool big = GetParam();
  const auto scan_tiff = [](const Bytes& tiff) {
    auto data = std::make_unique<TimgData>(255);
    EXPECT_TRUE(data->ScanTiffData(tiff));
    return data;
  };
  for (const std::string model : {"NIKON D1X", "D100"}) {
    SCOPED_TRACE(model);
    NoteBuilder nb(big);
    nb.Short(0x0002, {0, 125}).Ascii(0x0003, "COLOR");
    const auto data = scan_tiff(
        CameraWriter({big, "NIKON CORPORATION", model, ""}, nb.Build(NikonOwnHeader(big), -10))
            .Tiff());
    EXPECT_TRUE(data->ExifInfo()->FromTiff());
    EXPECT_EQ(MakerEntries(*data->ExifInfo()), (Strings{"ISOSpeed=0, 125", "ColorMode=\"COLOR\""}));
  }
  for (const std::string model : {"NIKON E990", "NIKON "}) {
    SCOPED_TRACE(model);
    const Bytes tiff = CameraTiff({big, "NIKON", model, ""}, [&](std::uint32_t at) {
      NoteBuilder nb(big);
      nb.Short(0x0004, {1}).Ascii(0x0008, "AF-S SINGLE");
      return nb.Build({'N', 'i', 'k', 'o', 'n', 0, 1, 0}, at);
    });
    EXPECT_EQ(MakerEntries(*scan_tiff(tiff)->ExifInfo()),
              (Strings{"ColorMode=Color", "Focus=\"AF-S SINGLE\""}));
  }
}

TEST_P(MakerByteOrder, OlympusCodesAndValuesOutsideTheNote) {
  const bool big = GetParam();
  const std::string make = "OLYMPUS OPTICAL CO.,LTD";
  const Bytes tiff = CameraTiff({big, make, "C960Z", "0210"}, [&](std::uint32_t at) {
    // The Make text sits in the block, before the note: its TIFF offset.
    const std::uint32_t make_at =
        OffsetOf(CameraWriter({big, make, "C960Z", "0210"}, Bytes(64, 0x99)).Tiff(), Text(make));
    NoteBuilder nb(big);
    nb.Short(0x0201, {2})
        .Short(0x0202, {1})
        .Short(0x0202, {0})
        .Long(0x0203, 5)  // Skip
        .Verbatim(0x0209, 7, 7, make_at)
        .Ascii(0x0207, "SX751");
    return nb.Build({'O', 'L', 'Y', 'M', 'P', 0, 1, 0}, at);
  });
  const auto data = ScanJpeg(tiff);
  EXPECT_EQ(MakerEntries(*data->ExifInfo()),
            (Strings{"JpegQual=HQ", "Macro=Macro;", "Macro=", "CameraID=\"OLYMPUS\"",
                     "Firmware=\"SX751\""}));
  const TTagEntry& camera_id =
      data->ExifInfo()
          ->Entries()[static_cast<std::size_t>(data->ExifInfo()->FindEntry("CameraID"))];
  EXPECT_EQ(camera_id.FormatCode, 7);
  EXPECT_EQ(camera_id.RawLength, 7);
}

// Canon, Make in any letter case: "Skip" rows and tags the table lacks give
// no entries; a value whose offset leads outside the note is skipped and
// the walk goes on.
TEST_P(MakerByteOrder, CanonSkipRowsAndValuesOutsideTheNote) {
  const bool big = GetParam();
  const Bytes tiff =
      CameraTiff({big, "canon", "Canon PowerShot S40", "0220"}, [&](std::uint32_t at) {
        NoteBuilder nb(big);
        nb.Short(0x0000, {0, 0, 0})
            .Short(0x0001, {92, 2, 0})
            .Short(0x0002, {1})
            .Short(0x0003, {0, 0, 0})
            .Short(0x0005, {3})
            .Ascii(0x0006, "IMG:PowerShot S40 JPEG")
            .Verbatim(0x0007, 2, 24, 0xFFFFFF00)
            .Long(0x0008, 1001234)
            .Verbatim(0x0009, 2, 32, 6)  // before the note: outside it
            .Short(0x000A, {1})
            .Short(0x0010, {1});
        return nb.Build({}, at);
      });
  const auto data = ScanJpeg(tiff);
  const TImageInfo& info = *data->ExifInfo();
  EXPECT_EQ(MakerEntries(info),
            (Strings{"ExposureInfo1=92, 2, 0", "ImageType=\"IMG:PowerShot S40 JPEG\"",
                     "ImageNumber=1001234"}));
  // The XML fragment lists them, in this order, before the maker note.
  const std::vector<std::string> lines = info.XmlLines(2);
  EXPECT_TRUE(xmlcheck::WellFormed(lines));
  std::vector<std::string> elements;
  for (std::size_t i = 1; i + 1 < lines.size(); i += 3)
    elements.push_back(lines[i].substr(lines[i].find('<')));
  const auto at = std::find(elements.begin(), elements.end(), "<exposureinfo1>");
  ASSERT_NE(at, elements.end());
  EXPECT_EQ(Strings(at, at + 4),
            (Strings{"<exposureinfo1>", "<imagetype>", "<imagenumber>", "<makernote>"}));
}

// "FUJIFILM", the directory offset, then a little-endian directory whose
// offsets count from the note's start, whatever the block's order.
TEST_P(MakerByteOrder, FujiNoteIsLittleEndian) {
  const bool big = GetParam();
  NoteBuilder nb(false);
  nb.Undefined(0x0000, Text("0130"))
      .Ascii(0x1000, "NORMAL ")
      .Short(0x1001, {3})
      .Short(0x1031, {256})
      .Short(0x1100, {1})
      .Short(0x1200, {0});  // Skip
  const Bytes note = nb.Build({'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 12, 0, 0, 0}, 0);
  const auto data = ScanJpeg(CameraWriter({big, "FUJIFILM", "FinePix40i", "0210"}, note).Tiff());
  const TImageInfo& info = *data->ExifInfo();
  EXPECT_EQ(MakerEntries(info),
            (Strings{"Version=\"0130\"", "Quality=\"NORMAL \"", "Sharpness=Normal",
                     "PictureMode=Aperture prior AE", "ContTake/Bracket=On"}));
  // Tag 0 is a real Fuji tag: its entry is kept.
  EXPECT_EQ(info.Entries()[static_cast<std::size_t>(info.FindEntry("Version"))].TagNo, 0);
  // The block's order comes back for the entries after the note.
  EXPECT_EQ(info.BigEndian(), big);
  EXPECT_EQ(info.PixelWidth(), 640);
  const std::vector<std::string> lines = info.XmlLines(2);
  EXPECT_TRUE(xmlcheck::WellFormed(lines));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "    <conttake_bracket>"), lines.end());
}

// The remaining makers: the table and the directory offset each one uses.
TEST_P(MakerByteOrder, CasioSeikoSanyoMinolta) {
  const bool big = GetParam();
  struct Case {
    std::string make;
    Bytes header;
    std::vector<std::string> want;
  };
  const Bytes at8 = {'X', 'X', 'X', 'X', 'X', 0, 1, 0};
  for (const Case& c : std::vector<Case>{
           {"CASIO COMPUTER", {}, {"Quality=Fine", "DigitalZoom=2X Digital Zoom"}},
           {"SEIKO EPSON CORP.", at8, {"Special Mode=1, 0, 0", "?\?=7"}},
           {"SANYO Electric Co.,Ltd.", at8, {"Special Mode=1, 0, 0", "DataDump=7"}},
           {"Minolta Co., Ltd.", {}, {"ModelID=\"MLT0\"", "PIMdata=7"}},
           {"KONICA MINOLTA", {}, {}},
           {"Panasonic", {}, {}},
       }) {
    SCOPED_TRACE(c.make);
    const Bytes tiff = CameraTiff({big, c.make, "X", "0220"}, [&](std::uint32_t at) {
      NoteBuilder nb(big);
      nb.Undefined(0x0000, Text("MLT0"))
          .Short(0x0002, {3})
          .Long(0x000A, 65537)
          .Long(0x0015, 9)
          .Short(0x0200, {1, 0, 0})
          .Short(0x0203, {1})
          .Short(0x0300, {7})
          .Short(0x0E00, {7})
          .Short(0x0F00, {7});
      return nb.Build(c.header, at);
    });
    const auto data = ScanJpeg(tiff);
    Strings got = MakerEntries(*data->ExifInfo());
    // Directories also hold tags of the other makers' tables; keep the ones
    // this case is about.
    got.erase(std::remove_if(got.begin(), got.end(),
                             [&](const std::string& s) {
                               return std::find_if(c.want.begin(), c.want.end(), [&](auto& w) {
                                        return w.substr(0, w.find('=')) == s.substr(0, s.find('='));
                                      }) == c.want.end();
                             }),
              got.end());
    EXPECT_EQ(got, c.want);
    EXPECT_TRUE(xmlcheck::WellFormed(data->ExifInfo()->XmlLines(2)));
    TmsInfo reader(false, *data->ExifInfo());
    EXPECT_EQ(reader.ReadMakerNote(), !c.want.empty());
  }
}

// A walk that fails keeps the entries before the failure, leaves its reason
// in the status and hands the block and its order back.
TEST_P(MakerByteOrder, FailuresEndTheWalkOnly) {
  const bool big = GetParam();
  NoteBuilder nb(big);
  nb.Short(0x0002, {100});
  const auto data = ScanJpeg(
      CameraWriter({big, "NIKON", "D70", "0220"}, nb.Build(NikonOwnHeader(big), -10)).Tiff());
  TImageInfo& info = *data->ExifInfo();
  const Bytes block = info.Buffer();
  const std::int32_t before = info.EntryCount();

  // A count of five entries in a note that holds two.
  NoteBuilder two(big);
  two.Short(0x0201, {2}).Short(0x0202, {1});
  Bytes note = two.Build({}, 0);
  const Bytes five = two.U16(5);
  std::copy(five.begin(), five.end(), note.begin());
  note.resize(2 + 12 * 2);
  EXPECT_FALSE(info.WalkMakerNote(note, kOlympusTags, 0, {}));
  EXPECT_EQ(info.EntryCount(), before + 2);
  EXPECT_EQ(data->StatusText(), "Error Detected = Premature end of data");
  EXPECT_EQ(info.Buffer(), block);
  EXPECT_EQ(info.BigEndian(), big);

  // A directory offset beyond the note, with the little-endian rule.
  data->SetStatusText(kStatusNone);
  EXPECT_FALSE(info.WalkMakerNote(Bytes(10, 0), kFujiTags, 12, {0, false, 0, true}));
  EXPECT_EQ(data->StatusText(), "Error Detected = Premature end of data");
  EXPECT_EQ(info.BigEndian(), big);
  EXPECT_EQ(info.Buffer(), block);

  // Where values outside the note are read from the block, one outside both
  // fails; count x size that overflows 32 bits is outside too.
  for (const auto& [count, field] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {16, 0xFFFFFFF0}, {0x20000000, 0}, {0xFFFFFFFF, 8}}) {
    data->SetStatusText(kStatusNone);
    NoteBuilder far(big);
    far.Short(0x0201, {3}).Verbatim(0x0209, 12, count, field).Short(0x0201, {1});
    EXPECT_FALSE(info.WalkMakerNote(far.Build({}, 0), kOlympusTags, 0, {0, true, 8, false}));
    EXPECT_EQ(data->StatusText(), "Error Detected = Value outside the EXIF block");
    EXPECT_EQ(MakerEntries(info).back(), "JpegQual=SHQ");
  }
  // The scan itself still reports success for a note that fails.
  EXPECT_EQ(MakerEntries(info).front(), "ISOSpeed=100");
}

// A note built to multiply its bytes: thousands of entries that all name
// the whole note. The scan's value budget ends the walk.
TEST(MakerNoteLimits, RepeatedLargeValuesStopAtTheBudget) {
  NoteBuilder nb(false);
  constexpr int kEntries = 4000;
  const std::uint32_t note_size = 2 + 12 * kEntries + 4;
  for (int i = 0; i < kEntries; ++i)
    nb.Verbatim(0x0201, 7, note_size, 0);
  // Walked directly with note-relative offsets, so each value is the note.
  TimgData data(255);
  ASSERT_TRUE(
      data.ScanJpegData(JpegHead(CameraWriter({false, "X", "X", "0220"}, {1, 2, 3, 4, 5}).Tiff())));
  TImageInfo& info = *data.ExifInfo();
  EXPECT_FALSE(info.WalkMakerNote(nb.Build({}, 0), kOlympusTags, 0, {}));
  EXPECT_EQ(data.StatusText(), "Error Detected = Too much value data");
  const auto kept = static_cast<std::uint64_t>(MakerEntries(info).size());
  EXPECT_GT(kept, 0u);
  EXPECT_LE(kept * note_size, kMaxValueBytesPerScan);
}

// "Skip" in any letter case marks a row; a row that merely shares the tag
// number with another maker's skipped tag does not.
TEST(MakerTables, SkipMarks) {
  int skips = 0;
  for (const TTagRow& row : kCasioTags)
    skips += IsSkipRow(row.Label) ? 1 : 0;
  EXPECT_EQ(skips, 14);
  EXPECT_TRUE(IsSkipRow(FindTagRow(kSeikoTags, 0x0F00)->Label));
  EXPECT_FALSE(IsSkipRow(FindTagRow(kSanyoTags, 0x0F00)->Label));
}

}  // namespace
}  // namespace skalo
