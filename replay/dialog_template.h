// The main dialog's and the enlarged video window's templates: every control with its id, kind,
// texts in both languages and place in dialog units, and the conversion of dialog units to
// pixels with the dialog font's metrics.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <vector>

#include "replay/replay_strings.h"

namespace kvreplay {

// Control ids of the main dialog; every control's object name is its id in decimal.
enum ControlId : int {
  IDC_OPEN_FILE = 1000,
  IDC_VIDEO = 1001,
  IDC_LIST = 1002,
  IDC_START_DATE = 1003,
  IDC_END_DATE = 1004,
  IDC_SEARCH = 1005,
  IDC_START_TIME = 1006,
  IDC_END_TIME = 1007,
  IDC_SEARCH_BY = 1008,
  IDC_CHANNEL = 1009,
  IDC_IP_LABEL = 1010,
  IDC_SPARE = 1011,
  IDC_DEVICE_ADDRESS = 1012,
  IDC_STOP = 1013,
  IDC_START_DRIVE = 1014,
  IDC_END_DRIVE = 1015,
  IDC_FILE_TYPE = 1016,
  IDC_SLIDER = 1017,
  IDC_FAST = 1018,
  IDC_SLOW = 1019,
  IDC_SNAPSHOT = 1020,
  IDC_CONTINUE = 1021,
  IDC_PAUSE = 1022,
  IDC_SOUND = 1023,
  IDC_STEP = 1024,
  IDC_TIME_LABEL = 1025,
  IDC_PATH_LABEL = 1028,
  IDC_NONE = -1,
};

enum class ControlKind {
  kVideo,
  kSlider,
  kIconButton,
  kTimeLabel,
  kPathLabel,
  kList,
  kGroupBox,
  kLabel,
  kDatePicker,
  kTimePicker,
  kDropDown,
  kIpAddress,
  kPushButton,
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  QString english;  // text, or nothing
  QString chinese;
  QRect place;                    // x, y, width, height in dialog units
  QStringList englishItems = {};  // fixed items of a drop-down list
  QStringList chineseItems = {};
  bool hidden = false;
};

// Dialog 102: the main dialog's controls in template order.
const std::vector<ControlTemplate>& MainDialogTemplate();
// The main dialog's size in dialog units (458 x 375 in English, 458 x 376 in Chinese).
QSize MainDialogSize(Language language);
// Dialog 134, the enlarged video window: its place and size in dialog units.
QRect VideoPaneTemplatePlace();

// The dialog font: "Microsoft Sans Serif" 8 point in English, "宋体" 9 point in Chinese, each
// with the installed fonts that stand in for them.
QFont DialogFont(Language language);

// Dialog units of a font: a horizontal unit is a quarter of the font's average character width,
// a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}
  int X(int units) const;
  int Y(int units) const;
  QRect ToPixels(const QRect& units) const;
  QSize ToPixels(const QSize& units) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace kvreplay
