// The program's icons, drawn for it as SVG and rendered once per process.
#pragma once

#include <QIcon>

namespace kvreplay {

enum IconId : int {
  IDR_MAINFRAME = 128,
  IDI_FAST = 130,
  IDI_SLOW = 133,
  IDI_PAUSE = 135,
  IDI_CONTINUE = 137,
  IDI_STEP = 139,
  IDI_SOUND_ON = 141,
  IDI_SOUND_OFF = 142,
  IDI_SNAPSHOT = 145,
};

// The icon of the id (a null icon for an unknown id). The same id always gives an icon with the
// same cache key.
QIcon ReplayIcon(int id);

}  // namespace kvreplay
