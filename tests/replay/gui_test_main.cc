// The dialog tests run in one Qt application on a private Xvfb.
#include <gtest/gtest.h>

#include "tests/replay/replay_gui_support.h"

// Qt, GLib and libdbus are not built with the sanitizers. LeakSanitizer: fontconfig's caches
// and the read buffer of Qt's D-Bus session connection live until the process ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer cannot see the locking inside Qt, GLib, libdbus and libxcb, which are not
  // built with it: it reports races between Qt's own threads (its D-Bus and X event threads and
  // the main thread) and a locked mutex when Qt's X connection closes. The dialog tests are
  // left out of that stage; the plain rules' tests and the library's own tests still run there.
  kvreplay::test::GuiEnvironment::DisableForThreadSanitizer();
#else
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  ::testing::AddGlobalTestEnvironment(new kvreplay::test::GuiEnvironment(qtArgc, qtArgv));
#endif
  return RUN_ALL_TESTS();
}
