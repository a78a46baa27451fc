// The window's line trace (z500-manager --trace FILE): what it sends and
// receives on its comm device, and a trace file it cannot write.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include <filesystem>

#include "WindowRig.h"
#include "receiver/TraceLines.h"

namespace {

class WindowTrace : public ReceiverWindowTest {
protected:
  void SetUp() override {
    std::filesystem::create_directories(dir);
    z500sim::Options options;
    options.unlogged = true;
    Build(options, std::make_shared<InstantClock>());
  }
  void TearDown() override {
    ReceiverWindowTest::TearDown();
    std::filesystem::remove_all(dir);
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("window-trace-" + std::to_string(::getpid()));
};

TEST_F(WindowTrace, RecordsTheFramesOfAParameterReadBothWays) {
  const std::string file = (dir / "trace.txt").string();
  form->StartTrace(file);
  Open();
  form->Button5->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("已读取设置参数！"); }));
  form.reset();  // ends the trace: what was queued is in the file

  Bytes sent, seen;
  std::vector<std::string> names;
  for (const auto& l : ReadTrace(file)) {
    EXPECT_EQ(l.Port, "COM1");
    names.push_back(std::string(1, l.Direction) + " " + l.Name);
    if (l.Direction == '>') sent.insert(sent.end(), l.Data.begin(), l.Data.end());
  }
  for (const auto& f : receiver->Sim->Frames()) seen.insert(seen.end(), f.bytes.begin(), f.bytes.end());
  EXPECT_EQ(sent, seen);
  EXPECT_EQ(names, (std::vector<std::string>{"> unlog command", "> unlog command", "> read parameters request",
                                             "< parameters reply (interval 5 s, cut-off 12 deg)"}));
}

TEST_F(WindowTrace, AFileItCannotWriteIsSaidOnTheStatusLineAndTheWindowGoesOn) {
  form->StartTrace(dir.string());  // a folder
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("无法写入跟踪文件，通讯跟踪已停止！"); }));
  Open();
  form->Button5->click();
  EXPECT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("已读取设置参数！"); }));
}

}  // namespace
