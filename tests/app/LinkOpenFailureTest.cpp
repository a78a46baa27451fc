// A port the window cannot open: the box keeps the fixed texts around the
// engine's message, and for the reasons the user can remedy (no permission,
// a port another program holds) adds a line saying what to do, and names the
// program that holds the port.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "EComm32Error.h"
#include "WindowRig.h"

namespace {

// This program's command name, as the holder of a port is named.
QString OwnName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return QString::fromStdString(name);
}

}  // namespace

TEST_F(ReceiverWindowTest, AFailedOpenSaysWhatToDoWhereTheUserCan) {
  // COM2: a read-only sysfs attribute, refused for writing even to root;
  // COM3: the receiver's port, held by another program; COM4: nothing.
  const std::string noPermission = "/sys/class/tty/tty0/dev";
  Build({}, std::make_shared<Z500::TSteadyClock>(), {{2, noPermission}, {3, ""}, {4, "/nonexistent/ttyZ4"}});
  const int other = ::open(receiver->Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);

  const QString fixed = QStringLiteral("打开串口时发生错误： ") +
                        QString::fromStdString(QuarlComm32::EComm32Error(QuarlComm32::ecOpenPort).MessageUtf8()) +
                        QStringLiteral("\r\n可能该串口不存在或正在使用中！");
  const struct {
    int Index;
    QString Advice;  // the line after the fixed texts; empty: none
  } cases[] = {
      {1, QStringLiteral("没有打开该串口的权限：请把用户加入 dialout 组（sudo adduser $USER dialout），然后重新登录。")},
      {2, QStringLiteral("该串口正被另一个程序使用，请先关闭那个程序（fuser 设备名 可以查到它）。\r\n占用该串口的程序：") +
              OwnName() + QStringLiteral("（进程号 ") + QString::number(::getpid()) + QStringLiteral("）。")},
      {3, QString()},
  };
  for (const auto& c : cases) {
    if (c.Index == 1 && !std::filesystem::exists(noPermission)) continue;
    SCOPED_TRACE(c.Index + 1);
    prompts->Messages.clear();
    form->ComboBox1->setCurrentIndex(c.Index);
    form->Button1->click();
    EXPECT_EQ(prompts->Messages,
              std::vector<QString>{c.Advice.isEmpty() ? fixed : fixed + QStringLiteral("\r\n") + c.Advice});
    EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  }
  ::close(other);
  form->ComboBox1->setCurrentIndex(2);  // free once the other program has let go
  Open();
}
