// The dialog tests run in one Qt application on a private Xvfb.
#include <gtest/gtest.h>

#include "tests/replay/replay_gui_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  ::testing::AddGlobalTestEnvironment(new kvreplay::test::GuiEnvironment(qtArgc, qtArgv));
  return RUN_ALL_TESTS();
}
