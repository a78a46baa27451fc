#include "AboutDialog.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include <cstdio>

#include "DialogText.h"
#include "SysInfo.h"

namespace QuarlComm32 {
namespace {

constexpr TDialogText kAbout{"关于 ", "關於 ", "About "};
constexpr TDialogText kEllipsis{"……", "……", "..."};
constexpr TDialogText kVersion{"版本: 1.3.3.5", "版本: 1.3.3.5", "Version: 1.3.3.5"};
constexpr TDialogText kUser{"用户:", "用戶:", "User:"};
constexpr TDialogText kOrgn{"单位:", "單位:", "Orgn:"};
constexpr TDialogText kOK{"确定", "確定", "OK"};

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top, int width, int height) {
  auto* l = Place<QLabel>(parent, name, left, top, width, height);
  l->setTextFormat(Qt::PlainText);
  l->setText(text);
  return l;
}

}  // namespace

TForm_VELLComm32_About::TForm_VELLComm32_About(QWidget* owner, const QString& productName) : QDialog(owner) {
  setObjectName(QStringLiteral("Form_VELLComm32_About"));
  setFont(DialogFont());
  setFixedSize(266, 132);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  setWindowTitle(DialogText(kAbout) + productName + DialogText(kEllipsis));

  TQuarlFuncs::TSysInfo info;
  info.fGetOsInfo();
  char osLine[512];
  std::snprintf(osLine, sizeof osLine, "%s %d.%02d.%04d %s", info.OsName, static_cast<int>(info.MajorVersion),
                static_cast<int>(info.MinorVersion), static_cast<int>(info.BuildNumber), info.ServicePack);

  ProgramIcon = MakeLabel(this, "ProgramIcon", QString(), 8, 8, 32, 32);
  ProgramIcon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
  ProductName = MakeLabel(this, "ProductName", productName, 48, 6, 210, 22);
  ProductName->setFont(DialogFont(12));
  Version = MakeLabel(this, "Version", DialogText(kVersion), 48, 28, 210, 16);
  auto* rule = Place<QFrame>(this, "Bevel1", 8, 48, 250, 4);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  OsVersion = MakeLabel(this, "OsVersion", LocaleText(osLine).trimmed(), 8, 56, 250, 16);
  lbUser = MakeLabel(this, "lbUser", DialogText(kUser), 8, 78, 40, 16);
  UserName = MakeLabel(this, "UserName", LocaleText(info.RegisteredOwner), 50, 78, 120, 16);
  lbOrgn = MakeLabel(this, "lbOrgn", DialogText(kOrgn), 8, 100, 40, 16);
  OrgName = MakeLabel(this, "OrgName", LocaleText(info.RegisteredOrganization), 50, 100, 120, 16);
  OKButton = Place<QPushButton>(this, "OKButton", 183, 98, 75, 25);
  OKButton->setText(DialogText(kOK));
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace QuarlComm32
