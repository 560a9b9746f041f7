// The test programs' entry: the window layer is prepared as the program's own entry does.
#include <windows.h>

#include <gtest/gtest.h>

#include "ui/controls.h"
#include "ui/pump.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  dorvex::ui::InitControls(GetModuleHandleW(nullptr));
  dorvex::ui::InstallPump();
  return RUN_ALL_TESTS();
}
