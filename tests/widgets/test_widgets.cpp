// The library's Qt Widgets parts on the offscreen platform: the status bar a
// connection writes to, the login dialog, the progress dialog and the widget user
// interface.
#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "connection/RdaClientSocket.h"
#include "tests/support/GuiTestEnvironment.h"
#include "tests/support/WidgetFit.h"
#include "widgets/RdaClientLogin.h"
#include "widgets/RdaProgressDialog.h"
#include "widgets/RdaStatusBar.h"
#include "widgets/RdaWidgetUserInterface.h"

[[maybe_unused]] auto* const kQt =
    ::testing::AddGlobalTestEnvironment(new rda::test::GuiTestEnvironment("test_widgets"));

namespace rda {
namespace {

using test::ActivateAndWait;
using test::AnswerNextModal;

TEST(RDAStatusBar, PanelsMadeAtCreationFollowTheOwnersWidth) {
  QWidget owner;
  owner.resize(500, 100);
  TRDAStatusBar bar(&owner);
  ASSERT_EQ(bar.PanelCount(), 3);
  EXPECT_EQ(bar.PanelWidth(0), 175);
  EXPECT_EQ(bar.PanelWidth(1), 150);
  EXPECT_EQ(bar.PanelWidth(2), 175);
  EXPECT_EQ(bar.PanelText(2), TRDAStatusBar::kVendorCaption);
  bar.SetCaption("Acme");
  EXPECT_EQ(bar.PanelText(2), "Acme");

  QWidget narrow;
  narrow.resize(300, 100);
  TRDAStatusBar small(&narrow);
  EXPECT_EQ(small.PanelWidth(0), 50);  // the platform's panel width
}

TEST(RDAStatusBar, ConnectionStateGoesToPanelZeroOrTheSimpleText) {
  TRDAStatusBar bar;
  bar.SetPanels({{"", 160, Qt::AlignLeft}, {"kept", 346, Qt::AlignHCenter}});
  TRdaClientSocket socket;
  socket.SetStatusBar(&bar);  // shows the state at once
  EXPECT_EQ(bar.PanelText(0), "No Connection");
  EXPECT_EQ(bar.PanelText(1), "kept");
  EXPECT_EQ(bar.PanelAlignment(1), Qt::AlignHCenter);

  TRDAStatusBar simple;
  simple.SetSimplePanel(true);
  socket.SetStatusBar(&simple);
  EXPECT_EQ(simple.SimpleText(), "No Connection");
  EXPECT_EQ(simple.PanelText(0), "");
  EXPECT_EQ(simple.currentMessage().toStdString(), "No Connection");
}

TEST(RDAStatusBar, ConnectionForgetsABarThatGoesFirst) {
  TRdaClientSocket socket;
  {
    TRDAStatusBar bar;
    socket.SetStatusBar(&bar);
  }
  EXPECT_EQ(socket.StatusBar(), nullptr);
}

TEST(TPasswordDlg, EnterMovesOnOkAnswersCloseCancels) {
  // Enter in the user name goes to the password and the dialog stays open; OK gives
  // what was typed.
  AnswerNextModal<TPasswordDlg>([](TPasswordDlg* dlg) {
    EXPECT_EQ(dlg->windowTitle().toStdString(), "Login Dialog");
    EXPECT_TRUE(dlg->OKBtn->isDefault());
    if (!ActivateAndWait(dlg)) {  // focus is nowhere before
      ADD_FAILURE() << "the login dialog never became the active window";
      return dlg->reject();
    }
    EXPECT_TRUE(dlg->eUserName->hasFocus());
    QTest::keyClicks(dlg->eUserName, "joe");
    QTest::keyClick(dlg->eUserName, Qt::Key_Return);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->ePassword->hasFocus());
    EXPECT_EQ(dlg->ePassword->echoMode(), QLineEdit::Password);
    QTest::keyClicks(dlg->ePassword, "secret");
    QTest::keyClick(dlg->ePassword, Qt::Key_Enter);
    EXPECT_TRUE(dlg->isVisible());
    dlg->OKBtn->click();
  });
  auto login = ShowLoginDialog();
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(login->UserName, "joe");
  EXPECT_EQ(login->Password, "secret");

  AnswerNextModal<TPasswordDlg>([](TPasswordDlg* dlg) { dlg->OKBtn->click(); });
  login = ShowLoginDialog();
  ASSERT_TRUE(login.has_value());  // empty fields are an answer
  EXPECT_EQ(login->UserName, "");
  EXPECT_EQ(login->Password, "");

  AnswerNextModal<TPasswordDlg>([](TPasswordDlg* dlg) { dlg->close(); });
  EXPECT_FALSE(ShowLoginDialog().has_value());
}

// The login dialog shows its labels whole in the application's font, whatever face
// and size the desktop gives (it was clipped to "User Nam" in Debian's fallback face).
TEST(TPasswordDlg, LabelsFitInEverySansSerifFaceInstalled) {
  struct KeepFont {
    QFont kept = QApplication::font();
    ~KeepFont() { QApplication::setFont(kept); }
  } keep;
  int faces = 0;
  for (const char* face : {"DejaVu Sans", "DejaVu Sans Condensed", "Liberation Sans",
                           "Noto Sans", "FreeSans"}) {
    if (!QFontDatabase::hasFamily(QString::fromLatin1(face))) continue;
    ++faces;
    for (const int points : {9, 11}) {
      QApplication::setFont(QFont(QString::fromLatin1(face), points));
      TPasswordDlg dlg;
      dlg.show();
      EXPECT_EQ(test::LabelsThatDoNotFit(&dlg), std::vector<std::string>{}) << face << " " << points;
      // The edits stand in one column after the labels and end where they did.
      EXPECT_EQ(dlg.eUserName->x(), dlg.ePassword->x());
      EXPECT_GE(dlg.eUserName->x(), 76);
      EXPECT_EQ(dlg.eUserName->geometry().right(), 76 + 145 - 1);
    }
  }
  EXPECT_GE(faces, 1);
}

TEST(TRdaProgressDialog, GaugeCancelAndTheQuestion) {
  auto progress = ShowProgress(0, "Loading rows");
  EXPECT_TRUE(progress->isVisible());
  EXPECT_FALSE(progress->Gauge1->isVisible());
  EXPECT_TRUE(progress->Button->isVisible());
  EXPECT_EQ(progress->Label1->text().toStdString(), std::string(12, ' '));
  EXPECT_EQ(progress->windowTitle().toStdString(), "Loading rows");
  for (const bool yes : {false, true}) {
    AnswerNextModal<QMessageBox>([yes](QMessageBox* box) {
      EXPECT_EQ(box->text().toStdString(), "Are you sure you want to cancel?");
      box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    progress->Button->click();
    EXPECT_EQ(progress->Continue, !yes);
  }
  auto quiet = ShowProgressNoCancel(250, "x");
  EXPECT_TRUE(quiet->Gauge1->isVisible());
  EXPECT_EQ(quiet->Gauge1->maximum(), 250);
  EXPECT_FALSE(quiet->Button->isVisible());
}

TEST(TRdaWidgetUserInterface, MessageBoxHasOneOkButtonAndQuestionsAnswerYesNo) {
  TRdaWidgetUserInterface ui;
  AnswerNextModal<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->text().toStdString(), "Server says hello");
    EXPECT_EQ(box->buttons().size(), 1);
    box->button(QMessageBox::Ok)->click();
  });
  ui.ShowMessage("Server says hello");
  AnswerNextModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
  EXPECT_FALSE(ui.AskYesNo("Reconnect?"));
  AnswerNextModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
  EXPECT_TRUE(ui.AskYesNo("Reconnect?"));
  AnswerNextModal<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->text().toStdString(), "Disconnected from server!");
    box->button(QMessageBox::Ok)->click();
  });
  ui.ShowException(ERdaConnectException("Disconnected from server!"));
}

}  // namespace
}  // namespace rda
