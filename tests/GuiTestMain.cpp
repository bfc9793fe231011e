// Widgets, pictures and timers need an application object on the main thread; GUI test
// executables use this main instead of GoogleTest's. They run headless on the offscreen platform
// unless another one is asked for.

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
