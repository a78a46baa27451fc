// The window suites run inside the tool's own application object, so that an
// error escaping a handler takes the same road as in the program.
#include <gtest/gtest.h>

#include "Application.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // No screen is needed, also when the tests are only listed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  Z500::TApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
