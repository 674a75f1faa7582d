#include "metadata/maker_tables.h"

#include <iterator>

namespace skalo {

namespace {

// A maker row: its label repeats the name.
constexpr TTagRow Row(std::uint16_t tag, std::string_view name, std::string_view codes = {}) {
  return TTagRow(tag, name, name, codes);
}

// Code texts are kept exactly as the cameras' documentation gave them,
// including the quirks ("6:SXGA Fine10:...", "0=Normal,1:Macro;"): a value
// that no pair names renders as an empty text.
constexpr TTagRow kNikonOldRows[] = {
    Row(0x0002, "FamilyID"),
    Row(0x0003, "Quality",
        "1:Vga Basic,2:Vga Normal,3:Vga Fine,4:SXGA Basic,5:SXGA Normal,6:SXGA Fine10:2 Mpixel "
        "Basic,11:2 Mpixel Normal,12:2 Mpixel Fine"),
    Row(0x0004, "ColorMode", "1:Color,2:Monochrome"),
    Row(0x0005, "ImageAdjustment", "0:Normal,1:Bright+,2:Bright-,3:Contrast+,4:Contrast-"),
    Row(0x0006, "ISOSpeed", "0:ISO80,2:ISO160,4:ISO320,5:ISO100"),
    Row(0x0007, "WhiteBalance",
        "0:Auto,1:Preset,2:Daylight,3:Incandescense,4:Fluorescence,5:Cloudy,6:SpeedLight"),
    Row(0x0008, "Focus"),
    Row(0x0009, "Skip"),
    Row(0x000A, "DigitalZoom"),
    Row(0x000B, "Converter", "0:Not used,1:Used"),
    Row(0x0F00, "Skip"),
};

constexpr TTagRow kNikonNewRows[] = {
    Row(0x0001, "FamilyID"),
    Row(0x0002, "ISOSpeed"),
    Row(0x0003, "ColorMode"),
    Row(0x0004, "Quality"),
    Row(0x0005, "WhiteBalance"),
    Row(0x0006, "ImageSharpening"),
    Row(0x0007, "FocusMode"),
    Row(0x0008, "FlashSetting"),
    Row(0x0009, "AutoFlashMode"),
    Row(0x000A, "Skip"),
    Row(0x000B, "WhiteBiasValue"),
    Row(0x000F, "DigitalZoom"),
    Row(0x0010, "Skip"),
    Row(0x0011, "Skip"),
    Row(0x0080, "ImageAdjustment"),
    Row(0x0081, "ImageAdjustment"),
    Row(0x0082, "Adapter"),
    Row(0x0084, "LensInformation"),
    Row(0x0085, "ManualFocusDistance"),
    Row(0x0086, "DigitalZoom"),
    Row(0x0088, "FocusArea"),
    Row(0x0089, "Mode"),
    Row(0x008D, "ColorMode"),
    Row(0x008F, "SceneMode"),
    Row(0x0092, "HueAdjustment"),
    Row(0x0094, "Saturation"),
    Row(0x0095, "NoiseReduction"),
    Row(0x0F00, "Skip"),
};

constexpr TTagRow kOlympusRows[] = {
    Row(0x0200, "SpecialMode"),
    Row(0x0201, "JpegQual", "1:SQ,2:HQ,3:SHQ,4:Raw"),
    Row(0x0202, "Macro", "0=Normal,1:Macro;"),
    Row(0x0203, "Skip"),
    Row(0x0204, "DigiZoom"),
    Row(0x0205, "Skip"),
    Row(0x0206, "Skip"),
    Row(0x0207, "Firmware"),
    Row(0x0208, "PictInfo"),
    Row(0x0209, "CameraID"),
    Row(0x0F00, "Skip"),
    Row(0x1004, "FlashMode"),
    Row(0x1006, "Bracket"),
    Row(0x100B, "FocusMode"),
    Row(0x100C, "FocusDistance"),
    Row(0x100D, "Zoom"),
    Row(0x100E, "MacroFocus"),
    Row(0x100F, "Sharpness"),
    Row(0x1011, "ColorMatrix"),
    Row(0x1012, "BlackLevel"),
    Row(0x1015, "WhiteBalance"),
    Row(0x1017, "RedBias"),
    Row(0x1018, "BlueBias"),
    Row(0x101A, "SerialNumber"),
    Row(0x1023, "FlashBias"),
    Row(0x1029, "Contrast"),
    Row(0x102A, "SharpnessFactor"),
    Row(0x102B, "ColorControl"),
    Row(0x102C, "ValidBits"),
    Row(0x102D, "Coring"),
    Row(0x102E, "FinalWidth"),
    Row(0x102F, "FinalHeight"),
    Row(0x1034, "CompressionRatio"),
};

constexpr TTagRow kCasioRows[] = {
    Row(0x0001, "RecordingMode",
        "1:Single Shutter,2:Panorama,3:Night Scene,4:Portrait,5:Landscape"),
    Row(0x0002, "Quality", "1:Economy,2:Normal,3:Fine"),
    Row(0x0003, "FocusingMode", "2:Macro,3:Auto Focus,4:Manual Focus,5:Infinity"),
    Row(0x0004, "FlashMode", "1:Auto,2:On,3:Off,4:Red Eye Reduction"),
    Row(0x0005, "FlashIntensity", "11:Weak,13:Normal,15:Strong"),
    Row(0x0006, "ObjectDistance"),
    Row(0x0007, "WhiteBalance", "1:Auto,2:Tungsten,3:Daylight,4:Fluorescent,5:Shade,129:Manual"),
    Row(0x0008, "Skip"),
    Row(0x0009, "Skip"),
    Row(0x000A, "DigitalZoom", "65536:Off,65537:2X Digital Zoom"),
    Row(0x000B, "Sharpness", "0:Normal,1:Soft,2:Hard"),
    Row(0x000C, "Contrast", "0:Normal,1:Low,2:High"),
    Row(0x000D, "Saturation", "0:Normal,1:Low,2:High"),
    Row(0x000E, "Skip"),
    Row(0x000F, "Skip"),
    Row(0x0010, "Skip"),
    Row(0x0011, "Skip"),
    Row(0x0012, "Skip"),
    Row(0x0013, "Skip"),
    Row(0x0014, "CCDSensitivity", "64:Normal,125:+1.0,250:+2.0,244:+3.0,80:Normal,100:High"),
    Row(0x0015, "Skip"),
    Row(0x0016, "Skip"),
    Row(0x0017, "Skip"),
    Row(0x0018, "Skip"),
    Row(0x0019, "Skip"),
    Row(0x001A, "Skip"),
};

constexpr TTagRow kFujiRows[] = {
    Row(0x0000, "Version"),
    Row(0x1000, "Quality"),
    Row(0x1001, "Sharpness", "1:Soft,2:Soft,3:Normal,4:Hard,5:Hard"),
    Row(0x1002, "WhiteBalance",
        "0:Auto,256:Daylight,512:Cloudy,768:DaylightColor-fluorescence,769:DaywhiteColor-"
        "fluorescence,770:White-fluorescence,1024:Incandenscense,3840:Custom white balance."),
    Row(0x1003, "Color", "0:Normal,256:High,512:Low"),
    Row(0x1004, "Tone", "0:Normal,256:High,512:Low"),
    Row(0x1010, "FlashMode", "0:Auto,1:On,2:Off,3:Red-eye reduction"),
    Row(0x1011, "FlashStrength"),
    Row(0x1020, "Macro", "0:Off,1:On"),
    Row(0x1021, "Focusmode", "0:Auto Focus,1:Manual Focus"),
    Row(0x1030, "SlowSync", "0:Off,1:On"),
    Row(0x1031, "PictureMode",
        "0:Auto,1:Portrait scene,2:Landscape scene,4:Sports scene,5:Night scene,6:Program "
        "AE,256:Aperture prior AE,512:Shutter prior AE,768:Manual exposure"),
    Row(0x1032, "Skip"),
    Row(0x1100, "ContTake/Bracket", "0:Off,1:On"),
    Row(0x1200, "Skip"),
    Row(0x1300, "BlurWarning", "0:No blur warning,1:Blur warning"),
    Row(0x1301, "FocusWarning", "0:Auto Focus good,1:Out of focus"),
    Row(0x1302, "AEWarning", "0:AE good,1:Over exposure"),
};

constexpr TTagRow kCanonRows[] = {
    Row(0x0000, "Skip"),
    Row(0x0001, "ExposureInfo1"),
    Row(0x0002, "Skip"),
    Row(0x0003, "Skip"),
    Row(0x0004, "ExposureInfo2"),
    Row(0x0006, "ImageType"),
    Row(0x0007, "FirmwareVersion"),
    Row(0x0008, "ImageNumber"),
    Row(0x0009, "OwnerName"),
    Row(0x000A, "Skip"),
    Row(0x000B, "Skip"),
    Row(0x000C, "CameraSerialNumber"),
    Row(0x000D, "Skip"),
    Row(0x000E, "Skip"),
    Row(0x000F, "CustomFunctions"),
    Row(0x0010, "Skip"),
};

constexpr TTagRow kSeikoRows[] = {
    Row(0x0200, "Special Mode"), Row(0x0201, "JpegQuality"), Row(0x0202, "Macro"),
    Row(0x0203, "Skip"),         Row(0x0204, "DigiZoom"),    Row(0x0209, "CameraID"),
    Row(0x020A, "Comments"),     Row(0x020B, "Width"),       Row(0x020C, "Height"),
    Row(0x020D, "SoftRelease"),  Row(0x0300, "??"),          Row(0x0F00, "skip"),
};

constexpr TTagRow kSanyoRows[] = {
    Row(0x0200, "Special Mode"), Row(0x0201, "JpegQuality"), Row(0x0202, "Macro"),
    Row(0x0203, "Skip"),         Row(0x0204, "DigiZoom"),    Row(0x0F00, "DataDump"),
};

constexpr TTagRow kMinoltaRows[] = {
    Row(0x0000, "ModelID"),
    Row(0x0E00, "PIMdata"),
};

static_assert(std::size(kNikonOldRows) == kNikonOldTagRows);
static_assert(std::size(kNikonNewRows) == kNikonNewTagRows);
static_assert(std::size(kOlympusRows) == kOlympusTagRows);
static_assert(std::size(kCasioRows) == kCasioTagRows);
static_assert(std::size(kFujiRows) == kFujiTagRows);
static_assert(std::size(kCanonRows) == kCanonTagRows);
static_assert(std::size(kSeikoRows) == kSeikoTagRows);
static_assert(std::size(kSanyoRows) == kSanyoTagRows);
static_assert(std::size(kMinoltaRows) == kMinoltaTagRows);

}  // namespace

const std::span<const TTagRow> kNikonOldTags(kNikonOldRows);
const std::span<const TTagRow> kNikonNewTags(kNikonNewRows);
const std::span<const TTagRow> kOlympusTags(kOlympusRows);
const std::span<const TTagRow> kCasioTags(kCasioRows);
const std::span<const TTagRow> kFujiTags(kFujiRows);
const std::span<const TTagRow> kCanonTags(kCanonRows);
const std::span<const TTagRow> kSeikoTags(kSeikoRows);
const std::span<const TTagRow> kSanyoTags(kSanyoRows);
const std::span<const TTagRow> kMinoltaTags(kMinoltaRows);

bool IsSkipRow(std::string_view name) noexcept {
  if (name.size() != 4) return false;
  constexpr std::string_view kSkip = "skip";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSkip[i]) return false;
  }
  return true;
}

}  // namespace skalo
