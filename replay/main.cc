// KvReplay: finds recordings on the local drives and plays them through libKvNetClient.
// "kvreplay CHINESE" shows the Chinese interface; anything else the English one.
#include <QApplication>

#include "replay/replay_app.h"

int main(int argc, char** argv) {
  // The library draws into X11 windows: on a Wayland session the program runs through XWayland.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KvReplay"));
  kvreplay::CKV_ReplayApp app;
  return app.InitInstance(QApplication::arguments());
}
