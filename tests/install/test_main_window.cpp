// The main window on the offscreen platform, driven as a user drives it: buttons
// clicked with QTest, labels and the status bar read, dialogs answered. One test
// saves a picture of the window and of each dialog into the build tree.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>

#include "install/InstallWidgets.h"
#include "install/TXIUMain.h"
#include "install/VNComCod.h"
#include "tests/install/InstallTestSupport.h"
#include "tests/support/WidgetFit.h"
#include "widgets/RdaClientLogin.h"
#include "widgets/RdaProgressDialog.h"
#include "widgets/RdaStatusBar.h"

namespace rda {
namespace {

using test::ActivateAndWait;
using test::ModalAnswerer;
using test::PressOk;

// The window of a program started from a client folder (the current folder while
// the test runs) with `args`.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(client_.Path());
  }
  void TearDown() override {
    window_.reset();
    std::filesystem::current_path(old_);
  }
  TfrmTXIUMain& Open(const TInstallSettings& settings, std::vector<std::string> args) {
    settings_ = settings;
    commandLine_ = TInstallCommandLine::Parse(client_.File("TamrixInstall"), args);
    window_ = std::make_unique<TfrmTXIUMain>(commandLine_, settings_);
    window_->show();
    return *window_;
  }
  std::string Panel(int i) { return window_->RDAStatusBar1->PanelText(i); }
  static std::string Text(const QLabel* l) { return l->text().toStdString(); }

  test::TempDir client_{"rda-window-"};
  std::filesystem::path old_;
  TInstallSettings settings_;
  TInstallCommandLine commandLine_;
  std::unique_ptr<TfrmTXIUMain> window_;
};

constexpr char kCouldNot[] =
    "Warning|An Internet Connection could NOT be made to the Server.\r\n"
    "Please contact your Supplier for further assistance. Thank You.";
constexpr char kWasSuccessful[] =
    "Information|An Internet Connection to the Server was Successful!\r\n"
    "Please press the 'Install' button to continue.";
constexpr char kNotInstalled[] =
    "Warning|The Tamrix has NOT been installed.\r\n"
    "Please contact your Supplier for further assistance. Thank You.";

TEST_F(MainWindowTest, ComponentsStandWhereTheyBelong) {
  TInstallSettings s;
  s.DemoHost = "demo.example";
  TfrmTXIUMain& w = Open(s, {});
  EXPECT_EQ(w.windowTitle().toStdString(), "Tamrix Install Utility");
  EXPECT_EQ(w.size(), QSize(419, 331));
  EXPECT_EQ(w.PageControl1->currentWidget(), w.tabInstall);
  EXPECT_EQ(w.PageControl1->tabText(0).toStdString(), "Install");
  EXPECT_EQ(w.PageControl1->tabText(1).toStdString(), "Configuration Options");
  EXPECT_EQ(w.PageControl1->geometry(), QRect(0, 21, 419, 291));
  EXPECT_EQ(w.lblCompanyName->geometry(), QRect(8, 4, 401, 13));
  EXPECT_TRUE(w.lblCompanyName->font().bold());
  EXPECT_EQ(Text(w.lblCompanyName), "");
  // A control after a label may stand further right than its place, when the label's
  // text needs the room; it keeps its right edge. The memo may grow down towards the
  // buttons when its text needs it.
  struct Place {
    QWidget* widget;
    QRect rect;
    bool afterLabel;
  } places[] = {
      {w.btnTestConnection, QRect(106, 193, 197, 25), false},
      {w.btnInstallClient, QRect(106, 227, 197, 25), false},
      {w.GroupBox1, QRect(8, 11, 395, 110), false},
      {w.RdaServerEdit, QRect(72, 18, 241, 21), true},
      {w.RdaServerPort, QRect(344, 18, 41, 21), true},
      {w.WebServerEdit, QRect(72, 49, 241, 21), true},
      {w.WebServerPort, QRect(344, 49, 41, 21), true},
      {w.RdaHttpEdit, QRect(72, 80, 145, 21), false},
  };
  for (const Place& p : places) {
    const QRect at = p.widget->geometry();
    if (p.afterLabel) {
      EXPECT_GE(at.left(), p.rect.left()) << p.widget;
      EXPECT_EQ(QRect(p.rect.left(), at.top(), at.right() - p.rect.left() + 1, at.height()), p.rect)
          << p.widget;
    } else {
      EXPECT_EQ(at, p.rect) << p.widget;
    }
  }
  EXPECT_EQ(w.RdaServerEdit->x(), w.WebServerEdit->x());  // one column
  EXPECT_EQ(w.Memo1->pos(), QPoint(16, 8));
  EXPECT_EQ(w.Memo1->width(), 385);
  EXPECT_GE(w.Memo1->height(), 169);
  EXPECT_LT(w.Memo1->geometry().bottom(), w.btnTestConnection->y());
  struct Caption {
    QLabel* label;
    QPoint at;
    const char* text;
  } captions[] = {
      {w.Label6, {310, 231}, "TCP/IP:"},      {w.Label7, {317, 247}, "HTTP:"},
      {w.lblVerNum, {2, 247}, ""},             {w.Label1, {24, 23}, "XServer"},
      {w.Label2, {320, 23}, "Port"},           {w.Label3, {8, 54}, "Web Server"},
      {w.Label4, {320, 54}, "Port"},           {w.Label5, {12, 85}, "Rdahttp.dll"},
  };
  for (const Caption& c : captions) {
    EXPECT_EQ(c.label->pos(), c.at) << c.text;
    EXPECT_EQ(Text(c.label), c.text);
  }
  for (QLabel* status : {w.lblTCPIPStatus, w.lblHTTPStatus}) {
    EXPECT_EQ(Text(status), "NotTested");
    EXPECT_GE(status->x(), 353);
  }
  EXPECT_EQ(w.lblTCPIPStatus->pos(), QPoint(w.lblHTTPStatus->x(), 231));
  EXPECT_EQ(w.lblHTTPStatus->y(), 247);
  EXPECT_GE(w.lblTCPIPStatus->width(), 56);
  EXPECT_GE(w.lblVerNum->width(), 63);
  EXPECT_EQ(w.btnTestConnection->text().toStdString(), "Test Internet Connection");
  EXPECT_EQ(w.btnInstallClient->text().toStdString(), "Install Tamrix");
  EXPECT_TRUE(w.btnTestConnection->isEnabled() && w.btnTestConnection->isDefault());
  EXPECT_FALSE(w.btnInstallClient->isEnabled());
  EXPECT_TRUE(w.btnTestConnection->font().bold() && w.btnInstallClient->font().bold());
  EXPECT_EQ(w.RdaServerEdit->text().toStdString(), "demo.example");
  EXPECT_EQ(w.WebServerEdit->text().toStdString(), "demo.example");
  EXPECT_EQ(w.RdaServerPort->text().toStdString(), "9406");
  EXPECT_EQ(w.WebServerPort->text().toStdString(), "80");
  EXPECT_EQ(w.RdaHttpEdit->text().toStdString(), "isapi/Rdahttp.dll");
  EXPECT_TRUE(w.RdaHttpEdit->isHidden() && w.Label5->isHidden());
  const std::string memo = w.Memo1->toPlainText().toStdString();
  EXPECT_EQ(memo.substr(0, 44), "Before you can install Tamrix, you need to \n");
  EXPECT_NE(memo.find("\n\n4. If you need further assistance, please contact your Supplier."),
            std::string::npos);
  EXPECT_EQ(std::count(memo.begin(), memo.end(), '\n'), 12);
  EXPECT_EQ(w.RDAStatusBar1->height(), 19);
  EXPECT_EQ(Panel(0), "No Connection");
  EXPECT_EQ(w.RDAStatusBar1->PanelWidth(0), 160);
  EXPECT_EQ(Panel(1), "VORNA Extranet Software v6.251");
  EXPECT_EQ(w.RDAStatusBar1->PanelWidth(1), 346);
  EXPECT_EQ(w.RDAStatusBar1->PanelAlignment(1), Qt::AlignHCenter);
  EXPECT_EQ(w.Steps().ClientSocket.ApplicationName(), "XTamrixInstall");
}

TEST_F(MainWindowTest, BothTransportsFailAndTheTestCanRunAgain) {
  TfrmTXIUMain& w = Open(TInstallSettings{}, {"ACME"});
  w.RdaServerEdit->setText("127.0.0.1");
  w.RdaServerPort->setText(QString::number(test::FreeLoopbackPort()));
  w.WebServerEdit->setText("bad..name");  // a web server name that does not resolve
  for (int round = 0; round < 2; ++round) {
    ModalAnswerer answer(PressOk);
    QTest::mouseClick(w.btnTestConnection, Qt::LeftButton);
    EXPECT_EQ(answer.Seen(), std::vector<std::string>{kCouldNot});
    EXPECT_EQ(Text(w.lblTCPIPStatus), "Failed");
    EXPECT_EQ(Text(w.lblHTTPStatus), "Failed");
    EXPECT_TRUE(w.btnTestConnection->isEnabled() && w.btnTestConnection->isDefault());
    EXPECT_FALSE(w.btnInstallClient->isEnabled());
    EXPECT_EQ(Panel(0), "");
    EXPECT_EQ(Panel(1), "");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }
}

TEST_F(MainWindowTest, TcpIpTestThenInstallThroughTheButtons) {
  test::InstallSite site;
  TfrmTXIUMain& w = Open(site.Settings(), {"ACME"});
  {
    ModalAnswerer answer(PressOk);
    QTest::mouseClick(w.btnTestConnection, Qt::LeftButton);
    EXPECT_EQ(answer.Seen(), std::vector<std::string>{kWasSuccessful});
  }
  EXPECT_EQ(Text(w.lblTCPIPStatus), "Success");
  EXPECT_EQ(Text(w.lblHTTPStatus), "NotTested");
  EXPECT_FALSE(w.btnTestConnection->isEnabled() || w.btnTestConnection->isDefault());
  EXPECT_TRUE(w.btnInstallClient->isEnabled() && w.btnInstallClient->isDefault());
  {
    ModalAnswerer answer(PressOk);
    QTest::keyClick(&w, Qt::Key_Return);  // Enter presses the default button: install
    EXPECT_EQ(answer.Seen(),
              std::vector<std::string>{"Information|The Tamrix has been successfully installed."});
  }
  EXPECT_TRUE(w.TerminateRequested());
  EXPECT_TRUE(w.Steps().Installed());
  EXPECT_EQ(Text(w.lblCompanyName), "Acme Trading Ltd");
  EXPECT_EQ(Text(w.lblVerNum), "v6.251");
  EXPECT_EQ(test::ReadTextFile(client_.File("Tamrix.exe")), site.tamrixExe);
  EXPECT_TRUE(std::filesystem::exists(client_.File("Tamrix.ini")));
  EXPECT_EQ(Panel(1), "");
}

TEST_F(MainWindowTest, FailedInstallEnablesTheButtonWithoutMakingItDefault) {
  test::SiteOptions o;
  o.ftpFile = false;
  test::InstallSite site(o);
  TfrmTXIUMain& w = Open(site.Settings(), {"ACME"});
  {
    ModalAnswerer answer(PressOk);
    w.btnTestConnectionClick();
  }
  ModalAnswerer answer(PressOk);
  QTest::mouseClick(w.btnInstallClient, Qt::LeftButton);
  EXPECT_EQ(answer.Seen(),
            (std::vector<std::string>{
                "Information|This Orvane Module is not currently available for Download.",
                kNotInstalled}));
  EXPECT_TRUE(w.btnInstallClient->isEnabled());
  EXPECT_FALSE(w.btnInstallClient->isDefault());
  EXPECT_FALSE(w.btnTestConnection->isEnabled());
  EXPECT_FALSE(w.TerminateRequested());
}

TEST_F(MainWindowTest, CompanyCodeDialogRefusesEmptyHelpsAndCancels) {
  TfrmTXIUMain& w = Open(TInstallSettings{}, {});
  std::vector<std::string> seen;
  ModalAnswerer answer([&](QWidget* widget) {
    if (auto* dlg = qobject_cast<TfrmEnterCompanyCode*>(widget)) {
      EXPECT_EQ(dlg->size(), QSize(229, 101));
      EXPECT_EQ(dlg->Panel1Caption->text().toStdString(), "Please Enter Your Company Code");
      EXPECT_EQ(dlg->BtnOK->geometry(), QRect(78, 72, 75, 25));
      EXPECT_EQ(dlg->CancelBtn->geometry(), QRect(158, 72, 71, 25));
      EXPECT_EQ(dlg->btnHelp->geometry(), QRect(2, 72, 71, 25));
      // The edit starts at 87 or after the label's text, and ends where it always did.
      const QRect edit = dlg->editCompanyCode->geometry();
      EXPECT_GE(edit.left(), 87);
      EXPECT_EQ(QRect(87, edit.top(), edit.right() - 86, edit.height()), QRect(87, 8, 134, 21));
      if (seen.empty()) {
        seen.push_back("first");
        dlg->btnHelp->click();  // shows the help, the dialog stays
        // OK clicked with the mouse takes the focus; refused, it gives it back to the
        // edit and the dialog stays.
        EXPECT_TRUE(ActivateAndWait(dlg));
        QTest::mouseClick(dlg->BtnOK, Qt::LeftButton);
        EXPECT_TRUE(dlg->isVisible());
        EXPECT_TRUE(ActivateAndWait(dlg));  // the message box over it has gone
        EXPECT_TRUE(dlg->editCompanyCode->hasFocus());
        QTest::keyClicks(dlg->editCompanyCode, "acme.ini");
        dlg->BtnOK->click();
      } else {
        dlg->CancelBtn->click();
      }
    } else {
      PressOk(widget);
    }
  });
  EXPECT_EQ(AskCompanyCode(w, "XTamrixInstall"), "ACME");
  EXPECT_EQ(AskCompanyCode(w, "XTamrixInstall"), "CANCEL");
  EXPECT_EQ(answer.Seen(),
            (std::vector<std::string>{
                "XTamrixInstall",
                std::string("Information|") + TfrmEnterCompanyCode::kHelpText,
                std::string("Information|") + TfrmEnterCompanyCode::kEmptyCodeText,
                "XTamrixInstall"}));
}

TEST_F(MainWindowTest, CancelledCompanyCodeEndsTheProgram) {
  test::InstallSite site;
  TfrmTXIUMain& w = Open(site.Settings(), {});  // no code anywhere: the dialog asks
  {
    ModalAnswerer answer(PressOk);
    w.btnTestConnectionClick();
  }
  ModalAnswerer answer([](QWidget* widget) {
    if (auto* dlg = qobject_cast<TfrmEnterCompanyCode*>(widget)) {
      dlg->CancelBtn->click();
    } else {
      PressOk(widget);
    }
  });
  QTest::mouseClick(w.btnInstallClient, Qt::LeftButton);
  EXPECT_EQ(answer.Seen(), (std::vector<std::string>{"XTamrixInstall", kNotInstalled}));
  EXPECT_TRUE(w.TerminateRequested());
  EXPECT_EQ(w.Steps().ClientSocket.Host(), "TERMINATE");
  EXPECT_FALSE(std::filesystem::exists(client_.File("Tamrix.exe")));
}

// Pictures of the window and every dialog, for people to look at: written to
// test-artifacts/install/ in the build tree.
TEST_F(MainWindowTest, PicturesOfTheWindowAndItsDialogs) {
  const std::string folder = std::string(RDA_BIN_DIR) + "/../test-artifacts/install";
  std::filesystem::create_directories(folder);
  std::vector<std::string> saved;
  const auto save = [&](QWidget* widget, const std::string& name) {
    const std::string file = folder + "/" + name + ".png";
    QApplication::processEvents();
    ASSERT_TRUE(widget->grab().save(QString::fromStdString(file))) << file;
    saved.push_back(file);
  };
  // Every label of our own windows shows its whole text in the face it got.
  const auto fits = [](QWidget* widget) {
    EXPECT_EQ(test::LabelsThatDoNotFit(widget), std::vector<std::string>{})
        << widget->metaObject()->className() << " in " << QFontInfo(widget->font()).family().toStdString();
  };
  TfrmTXIUMain& w = Open(TInstallSettings{}, {});
  w.SetCompanyName("Acme Trading Ltd");
  w.SetVersionText("v6.251");
  save(&w, "main-window-install");
  fits(&w);
  EXPECT_EQ(test::MemoTextThatDoesNotFit(w.Memo1), "");
  w.PageControl1->setCurrentWidget(w.tabConfigOptions);
  save(&w, "main-window-configuration");
  fits(&w);
  w.PageControl1->setCurrentWidget(w.tabInstall);

  ModalAnswerer answer([&](QWidget* widget) {
    if (auto* dlg = qobject_cast<TfrmEnterCompanyCode*>(widget)) {
      save(dlg, "company-code-dialog");
      fits(dlg);
      dlg->CancelBtn->click();
    } else if (auto* login = qobject_cast<TPasswordDlg*>(widget)) {
      save(login, "login-dialog");
      fits(login);
      login->CancelBtn->click();
    } else if (auto* box = qobject_cast<QMessageBox*>(widget)) {
      save(box, "message-" + box->windowTitle().toLower().toStdString());
      PressOk(box);
    }
  });
  w.EnterCompanyCode("XTamrixInstall");
  w.MessageDlg("An Internet Connection could NOT be made to the Server.\r\n"
               "Please contact your Supplier for further assistance. Thank You.",
               mtWarning);
  w.MessageDlg("The Tamrix has been successfully installed.", mtInformation);
  w.MessageDlg("You have entered an incorrect Company Code. Try Again.\r\n"
               "(Type in DEMO if you want to run the Demo version).",
               mtError);
  ShowLoginDialog();
  auto progress = ShowProgress(100, "Loading rows");
  progress->Gauge1->setValue(40);
  save(progress.get(), "progress-dialog");
  fits(progress.get());

  EXPECT_EQ(saved.size(), 8u);
  for (const std::string& file : saved) {
    QImage image(QString::fromStdString(file));
    EXPECT_FALSE(image.isNull()) << file;
  }
  EXPECT_EQ(QImage(QString::fromStdString(saved[0])).size(), QSize(419, 331));
}

// The windows laid out in each sans-serif face a Debian system may give them (the
// fallback DejaVu Sans among them), so that a face that happens to be installed here
// does not hide a text that is clipped in another.
TEST_F(MainWindowTest, LabelsFitInEverySansSerifFaceInstalled) {
  struct KeepFaces {
    QStringList kept = InstallFontFamilies();
    ~KeepFaces() { SetInstallFontFamilies(kept); }
  } keep;
  int faces = 0;
  for (const char* face : {"DejaVu Sans", "DejaVu Sans Condensed", "Liberation Sans",
                           "Liberation Sans Narrow", "Noto Sans", "FreeSans"}) {
    if (!QFontDatabase::hasFamily(QString::fromLatin1(face))) continue;
    ++faces;
    SetInstallFontFamilies({QString::fromLatin1(face)});
    ASSERT_EQ(QFontInfo(InstallFont()).family().toStdString(), face);
    TfrmTXIUMain& w = Open(TInstallSettings{}, {});
    w.SetCompanyName("Acme Trading Ltd");
    w.SetResultLabels("NotTested", "NotTested");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(test::LabelsThatDoNotFit(&w), std::vector<std::string>{}) << face;
    EXPECT_EQ(test::MemoTextThatDoesNotFit(w.Memo1), "") << face;
    w.PageControl1->setCurrentWidget(w.tabConfigOptions);
    EXPECT_EQ(test::LabelsThatDoNotFit(&w), std::vector<std::string>{}) << face;
    TfrmEnterCompanyCode dlg("XTamrixInstall", &w);
    dlg.show();
    EXPECT_EQ(test::LabelsThatDoNotFit(&dlg), std::vector<std::string>{}) << face;
  }
  EXPECT_GE(faces, 1);  // Debian's fallback face at least
}

}  // namespace
}  // namespace rda
