// Received bytes reach the reply recognition through Qt's event queue: the tests need an
// application object on the main thread to deliver them.

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QCoreApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
