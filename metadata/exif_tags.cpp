#include "metadata/exif_tags.h"

#include <cmath>
#include <iterator>

#include "metadata/end_ind.h"
#include "metadata/number_text.h"

namespace skalo {

namespace {

// Image (TIFF 6.0), EXIF 2.2 and interoperability tags, then the catch-all
// row for anything else.
constexpr TTagRow kExifRows[] = {
    {0x0001, "InteroperabilityIndex"},
    {0x0002, "InteroperabilityVersion"},
    {0x000B, "ACDComment"},
    {0x00FE, "NewSubfileType"},
    {0x00FF, "SubfileType"},
    {0x0100, "ImageWidth"},
    {0x0101, "ImageLength"},
    {0x0102, "BitsPerSample"},
    {0x0103, "Compression", {}, "6:Jpeg,3:Uncompressed,1:TIFF"},
    {0x0106, "PhotometricInterpretation", {}, "1:Monochrome, 2:RGB, 6:YCbCr"},
    {0x010A, "FillOrder"},
    {0x010D, "DocumentName"},
    {0x010E, "ImageDescription"},
    {0x010F, "Make"},
    {0x0110, "Model"},
    {0x0111, "StripOffsets"},
    {0x0112,
     "Orientation",
     {},
     "1:Normal,3:Rotated 180\xB0,6:CounterClockwise 90\xB0,8:Clockwise 90\xB0"},
    {0x0115, "SamplesPerPixel"},
    {0x0116, "RowsPerStrip"},
    {0x0117, "StripByteCounts"},
    {0x0118, "MinSampleValue"},
    {0x0119, "MaxSampleValue"},
    {0x011A, "XResolution", {}, {}, "%5.2f"},
    {0x011B, "YResolution", {}, {}, "%5.2f"},
    {0x011C, "PlanarConfiguration"},
    {0x011D, "PageName"},
    {0x011E, "XPosition"},
    {0x011F, "YPosition"},
    {0x0120, "FreeOffsets"},
    {0x0121, "FreeByteCounts"},
    {0x0122, "GrayReponseUnit"},
    {0x0123, "GrayReponseCurve"},
    {0x0124, "T4Options"},
    {0x0125, "T6Options"},
    {0x0128, "ResolutionUnit", {}, "1:None Specified,2:Inch,3:Centimeter"},
    {0x0129, "PageNumber"},
    {0x012D, "TransferFunction"},
    {0x0131, "Software"},
    {0x0132, "DateTime"},
    {0x013B, "Artist"},
    {0x013C, "HostComputer"},
    {0x013D, "Predictor"},
    {0x013E, "WhitePoint"},
    {0x013F, "PrimaryChromaticities"},
    {0x0140, "ColorMap"},
    {0x0141, "HalfToneHints"},
    {0x0142, "TileWidth"},
    {0x0143, "TileLength"},
    {0x0144, "TileOffsets"},
    {0x0145, "TileByteCounts"},
    {0x014A, "SubIFDs"},
    {0x014C, "InkSet"},
    {0x014D, "InkNames"},
    {0x014E, "NumberOfInks"},
    {0x0150, "DotRange"},
    {0x0151, "TargetPrinter"},
    {0x0152, "ExtraSample"},
    {0x0153, "SampleFormat"},
    {0x0154, "SMinSampleValue"},
    {0x0155, "SMaxSampleValue"},
    {0x0156, "TransferRange"},
    {0x0157, "ClipPath"},
    {0x0158, "XClipPathUnits"},
    {0x0159, "YClipPathUnits"},
    {0x015A, "Indexed"},
    {0x015B, "JPEGTables"},
    {0x015F, "OPIProxy"},
    {0x0200, "JPEGProc"},
    {0x0201, "JPEGInterchangeFormat"},
    {0x0202, "JPEGInterchangeFormatLength"},
    {0x0203, "JPEGRestartInterval"},
    {0x0205, "JPEGLosslessPredictors"},
    {0x0206, "JPEGPointTransforms"},
    {0x0207, "JPEGQTables"},
    {0x0208, "JPEGDCTables"},
    {0x0209, "JPEGACTables"},
    {0x0211, "YCbCrCoefficients"},
    {0x0212, "YCbCrSubSampling"},
    {0x0213, "YCbCrPositioning", {}, "1:Centered,2:Co-sited"},
    {0x0214, "ReferenceBlackWhite"},
    {0x02BC, "ExtensibleMetadataPlatform"},
    {0x0301, "Gamma"},
    {0x0302, "ICCProfileDescriptor"},
    {0x0303, "SRGBRenderingIntent"},
    {0x0304, "ImageTitle"},
    {0x1000, "RelatedImageFileFormat"},
    {0x1001, "RelatedImageWidth"},
    {0x1002, "RelatedImageHeight"},
    {0x5001, "ResolutionXUnit"},
    {0x5002, "ResolutionYUnit"},
    {0x5003, "ResolutionXLengthUnit"},
    {0x5004, "ResolutionYLengthUnit"},
    {0x5005, "PrintFlags"},
    {0x5006, "PrintFlagsVersion"},
    {0x5007, "PrintFlagsCrop"},
    {0x5008, "PrintFlagsBleedWidth"},
    {0x5009, "PrintFlagsBleedWidthScale"},
    {0x500A, "HalftoneLPI"},
    {0x500B, "HalftoneLPIUnit"},
    {0x500C, "HalftoneDegree"},
    {0x500D, "HalftoneShape"},
    {0x500E, "HalftoneMisc"},
    {0x500F, "HalftoneScreen"},
    {0x5010, "JPEGQuality"},
    {0x5011, "GridSize"},
    {0x5012, "ThumbnailFormat"},
    {0x5013, "ThumbnailWidth"},
    {0x5014, "ThumbnailHeight"},
    {0x5015, "ThumbnailColorDepth"},
    {0x5016, "ThumbnailPlanes"},
    {0x5017, "ThumbnailRawBytes"},
    {0x5018, "ThumbnailSize"},
    {0x5019, "ThumbnailCompressedSize"},
    {0x501A, "ColorTransferFunction"},
    {0x501B, "ThumbnailData"},
    {0x5020, "ThumbnailImageWidth"},
    {0x5021, "ThumbnailImageHeight"},
    {0x5022, "ThumbnailBitsPerSample"},
    {0x5023, "ThumbnailCompression"},
    {0x5024, "ThumbnailPhotometricInterp"},
    {0x5025, "ThumbnailImageDescription"},
    {0x5026, "ThumbnailEquipMake"},
    {0x5027, "ThumbnailEquipModel"},
    {0x5028, "ThumbnailStripOffsets"},
    {0x5029, "ThumbnailOrientation"},
    {0x502A, "ThumbnailSamplesPerPixel"},
    {0x502B, "ThumbnailRowsPerStrip"},
    {0x502C, "ThumbnailStripBytesCount"},
    {0x502D, "ThumbnailResolutionX"},
    {0x502E, "ThumbnailResolutionY"},
    {0x502F, "ThumbnailPlanarConfig"},
    {0x5030, "ThumbnailResolutionUnit"},
    {0x5031, "ThumbnailTransferFunction"},
    {0x5032, "ThumbnailSoftwareUsed"},
    {0x5033, "ThumbnailDateTime"},
    {0x5034, "ThumbnailArtist"},
    {0x5035, "ThumbnailWhitePoint"},
    {0x5036, "ThumbnailPrimaryChromaticities"},
    {0x5037, "ThumbnailYCbCrCoefficients"},
    {0x5038, "ThumbnailYCbCrSubsampling"},
    {0x5039, "ThumbnailYCbCrPositioning"},
    {0x503A, "ThumbnailRefBlackWhite"},
    {0x503B, "ThumbnailCopyRight"},
    {0x5090, "LuminanceTable"},
    {0x5091, "ChrominanceTable"},
    {0x5100, "FrameDelay"},
    {0x5101, "LoopCount"},
    {0x5110, "PixelUnit"},
    {0x5111, "PixelPerUnitX"},
    {0x5112, "PixelPerUnitY"},
    {0x5113, "PaletteHistogram"},
    {0x800D, "ImageID"},
    {0x80E3, "Matteing"},
    {0x80E4, "DataType"},
    {0x80E5, "ImageDepth"},
    {0x80E6, "TileDepth"},
    {0x828D, "CFARepeatPatternDim"},
    {0x828E, "CFAPattern"},
    {0x828F, "BatteryLevel"},
    {0x8298, "Copyright"},
    {0x829A, "ExposureTime", {}, {}, "%s sec"},
    {0x829D, "FNumber", {}, {}, "F%0.1f"},
    {0x83BB, "IPTC/NAA"},
    {0x84E3, "IT8RasterPadding"},
    {0x84E5, "IT8ColorTable"},
    {0x8649, "ImageResourceInformation"},
    {0x8769, "ExifOffset"},
    {0x8773, "InterColorProfile"},
    {0x8822,
     "ExposureProgram",
     {},
     "0:Unidentified,1:Manual,2:Normal,3:Aperture priority,4:Shutter "
     "priority,5:Creative(slow),6:Action(high-speed),7:Portrait mode,8:Landscape mode"},
    {0x8824, "SpectralSensitivity"},
    {0x8825, "GPSInfo"},
    {0x8827, "ISOSpeedRatings"},
    {0x8828, "OECF"},
    {0x8829, "Interlace"},
    {0x882A, "TimeZoneOffset"},
    {0x882B, "SelfTimerMode"},
    {0x9000, "ExifVersion"},
    {0x9003, "DateTimeOriginal"},
    {0x9004, "DateTimeDigitized"},
    {0x9101, "ComponentsConfiguration", {}, {}, {}, &DecodeComponentsConfiguration},
    {0x9102, "CompressedBitsPerPixel"},
    {0x9201, "ShutterSpeedValue", {}, {}, {}, &DecodeShutterSpeed},
    {0x9202, "ApertureValue", {}, {}, "F%0.1f"},
    {0x9203, "BrightnessValue"},
    {0x9204, "ExposureBiasValue"},
    {0x9205, "MaxApertureValue", {}, {}, "F%0.1f"},
    {0x9206, "SubjectDistance"},
    {0x9207,
     "MeteringMode",
     {},
     "0:Unknown,1:Average,2:Center,3:Spot,4:MultiSpot,5:MultiSegment,6:Partial"},
    {0x9208,
     "LightSource",
     {},
     "0:Unidentified,1:Daylight,2:Fluorescent,3:Tungsten,10:Flash,17:Std A,18:Std B,19:Std C"},
    {0x9209, "Flash", {}, {}, {}, &DecodeFlash},
    {0x920A, "FocalLength", {}, {}, "%5.2f mm"},
    {0x920B, "FlashEnergy"},
    {0x920C, "SpatialFrequencyResponse"},
    {0x920D, "Noise"},
    {0x920E, "FocalPlaneXResolution"},
    {0x920F, "FocalPlaneYResolution"},
    {0x9210, "FocalPlaneResolutionUnit", {}, "1:None Specified,2:Inch,3:Centimeter"},
    {0x9211, "ImageNumber"},
    {0x9212, "SecurityClassification"},
    {0x9213, "ImageHistory"},
    {0x9214, "SubjectLocation"},
    {0x9215, "ExposureIndex"},
    {0x9216, "TIFF/EPStandardID"},
    {0x9217, "SensingMethod"},
    {0x923F, "StoNits"},
    {0x927C, "MakerNote"},
    {0x9286, "UserComment", {}, {}, {}, &DecodeUserComment},
    {0x9290, "SubSecTime"},
    {0x9291, "SubSecTimeOriginal"},
    {0x9292, "SubSecTimeDigitized"},
    {0x953C, "ImageSourceData"},
    {0x9C9B, "Title", {}, {}, {}, &DecodeXpText},
    {0x9C9C, "Comments", {}, {}, {}, &DecodeXpText},
    {0x9C9D, "Author", {}, {}, {}, &DecodeXpText},
    {0x9C9E, "Keywords", {}, {}, {}, &DecodeXpText},
    {0x9C9F, "Subject", {}, {}, {}, &DecodeXpText},
    {0xA000, "FlashPixVersion"},
    {0xA001, "ColorSpace", {}, "0:sBW,1:sRGB"},
    {0xA002, "ExifImageWidth"},
    {0xA003, "ExifImageLength"},
    {0xA004, "RelatedSoundFile"},
    {0xA005, "InteroperabilityOffset"},
    {0xA20B, "FlashEnergy"},
    {0xA20C, "SpatialFrequencyResponse"},
    {0xA20E, "FocalPlaneXResolution"},
    {0xA20F, "FocalPlaneYResolution"},
    {0xA210, "FocalPlaneResolutionUnit", {}, "1:None Specified,2:Inch,3:Centimeter"},
    {0xA211, "ImageNumber"},
    {0xA212, "SecurityClassification"},
    {0xA213, "ImageHistory"},
    {0xA214, "SubjectLocation"},
    {0xA215, "ExposureIndex"},
    {0xA216, "TIFF/EPStandardID"},
    {0xA217,
     "SensingMethod",
     {},
     "0:Unknown,1:MonochromeArea,2:OneChipColorArea,3:TwoChipColorArea,4:ThreeChipColorArea,5:"
     "ColorSequentialArea,6:MonochromeLinear,7:TriLinear,8:ColorSequentialLinear"},
    {0xA300, "FileSource", {}, "1:Unknown,3:Digital Still Camera"},
    {0xA301, "SceneType", {}, "0:Unknown,1:Directly Photographed"},
    {0xA302, "CFAPattern"},
    {0xA401, "CustomRendered", {}, "0:Normal process,1:Custom process"},
    {0xA402, "ExposureMode", {}, "0:Auto,1:Manual,2:Auto bracket"},
    {0xA403, "WhiteBalance", {}, "0:Auto,1:Manual"},
    {0xA404, "DigitalZoomRatio"},
    {0xA405, "FocalLengthin35mmFilm", {}, {}, "%5.2f mm"},
    {0xA406, "SceneCaptureType", {}, "0:Standard,1:Landscape,2:Portrait,3:Night scene"},
    {0xA407,
     "GainControl",
     {},
     "0:None,1:Low gain up,2:High gain up,3:Low gain down,4:High gain down"},
    {0xA408, "Contrast", {}, "0:Normal,1:Soft,2:Hard"},
    {0xA409, "Saturation", {}, "0:Normal,1:Low,2:High"},
    {0xA40A, "Sharpness", {}, "0:Normal,1:Soft,2:Hard"},
    {0xA40B, "DeviceSettingDescription"},
    {0xA40C, "SubjectDistanceRange", {}, "0:Unknown,1:Macro,2:Close view,3:Distant view"},
    {0xA420, "ImageUniqueID", {}, "0:Close view,1:Distant view"},
    {0x0000, "Unknown"},
};

// GPS directory tags, EXIF 2.2 section 4.6.6.
constexpr TTagRow kGpsRows[] = {
    {0x0000, "GPSVersionID"},
    {0x0001, "GPSLatitudeRef"},
    {0x0002, "GPSLatitude", {}, {}, {}, &DecodeGpsCoordinate},
    {0x0003, "GPSLongitudeRef"},
    {0x0004, "GPSLongitude", {}, {}, {}, &DecodeGpsCoordinate},
    {0x0005, "GPSAltitudeRef", {}, "0:Sealevel"},
    {0x0006, "GPSAltitude"},
    {0x0007, "GPSTimeStamp", {}, {}, {}, &DecodeGpsTime},
    {0x0008, "GPSSatellites"},
    {0x0009, "GPSStatus"},
    {0x000A, "GPSMeasureMode"},
    {0x000B, "GPSDOP"},
    {0x000C, "GPSSpeedRef"},
    {0x000D, "GPSSpeed"},
    {0x000E, "GPSTrackRef"},
    {0x000F, "GPSTrack"},
    {0x0010, "GPSImageDirectionRef"},
    {0x0011, "GPSImageDirection"},
    {0x0012, "GPSMapDatum"},
    {0x0013, "GPSDestLatitudeRef"},
    {0x0014, "GPSDestLatitude", {}, {}, {}, &DecodeGpsCoordinate},
    {0x0015, "GPSDestLongitudeRef"},
    {0x0016, "GPSDestLongitude", {}, {}, {}, &DecodeGpsCoordinate},
    {0x0017, "GPSDestBearingkRef"},
    {0x0018, "GPSDestBearing"},
    {0x0019, "GPSDestDistanceRef"},
    {0x001A, "GPSDestDistance"},
    {0x001B, "GPSProcessingMode"},
    {0x001C, "GPSAreaInformation"},
    {0x001D, "GPSDateStamp"},
    {0x001E, "GPSDifferential"},
};

static_assert(std::size(kExifRows) == kExifTagTableRows);
static_assert(std::size(kGpsRows) == kGpsTagTableRows);
static_assert(kExifRows[kExifTagTableRows - 1].TagNo == 0);

// Splits at every occurrence of `separator`.
std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) break;
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
  parts.push_back(text);
  return parts;
}

// The three rationals of a GPS coordinate or time stamp; missing parts are 0.
void ThreeRationals(const std::string& text, double (&out)[3]) {
  const auto parts = Split(text, ", ");
  for (std::size_t i = 0; i < 3; ++i)
    out[i] = i < parts.size() ? ParseRationalText(parts[i]) : 0.0;
}

}  // namespace

const std::span<const TTagRow> kExifTagTable(kExifRows);
const std::span<const TTagRow> kGpsTagTable(kGpsRows);

TTagEntry TTagEntry::FromRow(const TTagRow& row) {
  TTagEntry entry;
  entry.TagNo = row.TagNo;
  entry.RecordNo = row.RecordNo;
  entry.Name = row.Name;
  entry.Label = row.Label;
  entry.CodeTable = row.CodeTable;
  entry.Pattern = row.Pattern;
  entry.Decoder = row.Decoder;
  entry.RawLength = static_cast<std::int32_t>(row.RawLength);
  return entry;
}

const TTagRow* FindTagRow(std::span<const TTagRow> table, std::uint16_t tag) {
  for (const TTagRow& row : table)
    if (row.TagNo == tag) return &row;
  return nullptr;
}

const TTagRow& UnknownTagRow() {
  return kExifRows[kExifTagTableRows - 1];
}

std::string CodeLookup(std::string_view code_table, std::string_view key) {
  std::string haystack(1, ',');
  haystack.append(code_table).push_back(',');
  std::string needle(1, ',');
  needle.append(TrimBlanks(key)).push_back(':');
  const std::size_t at = haystack.find(needle);
  if (at == std::string::npos) return std::string();
  const std::size_t start = at + needle.size();
  const std::size_t end = haystack.find(',', start);
  return haystack.substr(start, end - start);
}

double ParseRationalText(std::string_view text) {
  text = TrimBlanks(text);
  std::int64_t whole = 0;
  const std::size_t blank = text.find(' ');
  if (blank != std::string_view::npos) {
    const auto w = ParseInt32(text.substr(0, blank));
    if (!w) return 0.0;
    whole = *w;
    text = TrimBlanks(text.substr(blank + 1));
  }
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return 0.0;
  const auto num = ParseInt32(text.substr(0, slash));
  const auto den = ParseInt32(text.substr(slash + 1));
  if (!num || !den || *den == 0) return 0.0;
  return static_cast<double>(whole * *den + *num) / static_cast<double>(*den);
}

std::string DecodeComponentsConfiguration(const std::string& text) {
  static constexpr std::string_view kComponents[] = {"Y", "Cb", "Cr", "R", "G", "B"};
  std::string out;
  for (std::size_t i = 1; i <= 4 && i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 1 && c <= 6) out += kComponents[c - 1];
  }
  return out;
}

std::string DecodeShutterSpeed(const std::string& text) {
  const double tv = ParseRationalText(text);
  const double seconds = std::pow(2.0, -tv);
  std::string out = FormatFixed(seconds, 4, 4) + " sec";
  if (seconds <= 0.5) {
    const auto denominator = RoundHalfEven(1.0 / seconds);
    if (!denominator) throw EExifError("Invalid shutter speed value");
    out += " (1/" + std::to_string(*denominator) + ")";
  }
  return out;
}

std::string DecodeFlash(const std::string& text) {
  const auto parsed = ParseInt32(text);
  if (!parsed) throw EExifError("'" + text + "' is not a valid integer value");
  const std::int32_t v = *parsed;
  std::string out = (v & 1) ? "On" : "Off";
  switch (v & 6) {
    case 2:
      out += ", UNKNOWN";
      break;
    case 4:
      out += ", no strobe return";
      break;
    case 6:
      out += ", strobe return";
      break;
  }
  switch (v & 24) {
    case 8:
      out += ", forced";
      break;
    case 16:
      out += ", surpressed";
      break;
    case 24:
      out += ", auto mode";
      break;
  }
  if (v & 32) out += ", no flash function";
  if (v & 64) out += ", red-eye reduction";
  return out;
}

std::string DecodeUserComment(const std::string& text) {
  return text;
}

std::string DecodeXpText(const std::string& text) {
  const auto fields = Split(text, ",");
  const std::size_t commas = fields.size() - 1;
  std::string out;
  // Fields are numbered from 1; the odd ones hold the low bytes of UTF-16LE.
  for (std::size_t number = 1; number <= commas; number += 2) {
    const auto value = ParseInt32(fields[number - 1]);
    if (!value)
      throw EExifError("'" + std::string(fields[number - 1]) + "' is not a valid integer value");
    const auto low = static_cast<char>(*value & 0xFF);
    if (low != 0) out += low;
  }
  return out;
}

std::string DecodeGpsCoordinate(const std::string& text) {
  double dms[3];
  ThreeRationals(text, dms);
  if (dms[2] == 0.0) {
    // Minutes given with a fraction and no seconds: the fraction becomes seconds.
    dms[2] = (dms[1] - std::trunc(dms[1])) * 100.0 * 0.6;
    dms[1] = std::trunc(dms[1]);
  }
  return FormatFixed(dms[0], 0, 0) + " Degrees " + FormatFixed(dms[1], 0, 0) + " Minutes " +
         FormatFixed(dms[2], 0, 0) + " Seconds";
}

std::string DecodeGpsTime(const std::string& text) {
  double hms[3];
  ThreeRationals(text, hms);
  return FormatFixed(hms[0], 0, 0) + ":" + FormatFixed(hms[1], 0, 0) + ":" +
         FormatFixed(hms[2], 0, 0);
}

}  // namespace skalo
