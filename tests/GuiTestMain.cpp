// Widgets, pictures and timers need an application object on the main thread; GUI test
// executables use this main instead of GoogleTest's.

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
