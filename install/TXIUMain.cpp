#include "install/TXIUMain.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <algorithm>

#include "install/InstallWidgets.h"
#include "install/VNComCod.h"
#include "widgets/RdaLabelFit.h"
#include "widgets/RdaStatusBar.h"
#include "widgets/RdaText.h"

namespace rda {

namespace {

constexpr int kClientWidth = 419;
constexpr int kClientHeight = 331;

const char* const kMemoLines[] = {
    "Before you can install Tamrix, you need to ",
    "test your Internet Connection, to see which connection protocol",
    "should be used from your location.",
    "",
    "1. Press the 'Test Internet Connection' button.",
    "",
    "2. Wait (up to 2 minutes) for the testing to finish.",
    "    (If you get error messages, just press OK to continue testing).",
    "",
    "3. If the Connection test was successful, you can then Install",
    "    Tamrix by pressing the 'Install' button .",
    "",
    "4. If you need further assistance, please contact your Supplier.",
};

// The memo's top and the test button's: the memo may grow down to a little above the
// buttons when its text needs the room.
constexpr int kMemoTop = 8;
constexpr int kButtonsTop = 193;

// A label that sizes itself to its text, as the window's labels do, but never below
// `width`.
QLabel* Label(QWidget* parent, const char* caption, int left, int top, int width = 0) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->move(left, top);
  FitLabel(label, QSize(width, 0));
  return label;
}

void SetLabelText(QLabel* label, const std::string& text) {
  label->setText(ToQString(text));
  label->adjustSize();
}

QLineEdit* Edit(QWidget* parent, const std::string& text, int left, int top, int width) {
  auto* edit = new QLineEdit(ToQString(text), parent);
  edit->setGeometry(left, top, width, 21);
  return edit;
}

}  // namespace

TfrmTXIUMain::TfrmTXIUMain(const TInstallCommandLine& commandLine,
                           const TInstallSettings& settings)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                               Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QString::fromLatin1(kTitle));
  setFont(InstallFont());
  setFixedSize(kClientWidth, kClientHeight);

  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight - 19);
  setCentralWidget(client);

  Panel1 = new QFrame(client);
  Panel1->setGeometry(0, 0, kClientWidth, 21);
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  lblCompanyName = new QLabel(Panel1);
  lblCompanyName->setFont(InstallFont(true));
  lblCompanyName->setGeometry(8, 4, 401, std::max(13, lblCompanyName->fontMetrics().height()));
  lblCompanyName->setAlignment(Qt::AlignCenter);
  SetTextColor(lblCompanyName, Qt::black);

  PageControl1 = new QTabWidget(client);
  PageControl1->setGeometry(0, 21, kClientWidth, 291);
  BuildInstallTab();
  BuildConfigTab(commandLine, settings);

  RDAStatusBar1 = new TRDAStatusBar(this);
  RDAStatusBar1->setFixedHeight(19);
  RDAStatusBar1->SetPanels({{"No Connection", 160, Qt::AlignLeft}, {"", 346, Qt::AlignHCenter}});
  setStatusBar(RDAStatusBar1);

  steps_ = std::make_unique<TTamrixInstall>(*this, commandLine, settings);

  // FormCreate
  PageControl1->setCurrentWidget(tabInstall);
  btnTestConnection->setDefault(true);
  steps_->FormCreate();
}

TfrmTXIUMain::~TfrmTXIUMain() {
  while (busy_ > 0) SetBusyCursor(false);
}

void TfrmTXIUMain::BuildInstallTab() {
  tabInstall = new QWidget;
  SetTextColor(tabInstall, Qt::black);
  PageControl1->addTab(tabInstall, QStringLiteral("Install"));

  Memo1 = new QPlainTextEdit(tabInstall);
  Memo1->setGeometry(16, kMemoTop, 385, 169);
  Memo1->setFrameShape(QFrame::NoFrame);
  Memo1->document()->setDocumentMargin(1);
  Memo1->setFont(InstallFont(true));
  QPalette palette = Memo1->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  Memo1->setPalette(palette);
  QStringList lines;
  for (const char* line : kMemoLines) lines << QString::fromLatin1(line);
  Memo1->setPlainText(lines.join(QLatin1Char('\n')));
  FitMemoText(Memo1, kButtonsTop - 4 - kMemoTop);

  btnTestConnection = new QPushButton(QStringLiteral("Test Internet Connection"), tabInstall);
  btnTestConnection->setGeometry(106, kButtonsTop, 197, 25);
  btnTestConnection->setFont(InstallFont(true));
  btnInstallClient = new QPushButton(QStringLiteral("Install Tamrix"), tabInstall);
  btnInstallClient->setGeometry(106, 227, 197, 25);
  btnInstallClient->setFont(InstallFont(true));
  btnInstallClient->setEnabled(false);
  connect(btnTestConnection, &QPushButton::clicked, this, [this] { btnTestConnectionClick(); });
  connect(btnInstallClient, &QPushButton::clicked, this, [this] { btnInstallClientClick(); });

  Label6 = Label(tabInstall, "TCP/IP:", 310, 231);
  Label7 = Label(tabInstall, "HTTP:", 317, 247);
  lblTCPIPStatus = Label(tabInstall, "NotTested", 353, 231, 56);
  lblHTTPStatus = Label(tabInstall, "NotTested", 353, 247, 56);
  lblVerNum = Label(tabInstall, "", 2, 247, 63);
  PlaceAfterLabels({{Label6, lblTCPIPStatus}, {Label7, lblHTTPStatus}});

  // Tab order: the test button first.
  btnTestConnection->setFocus();
  setTabOrder(btnTestConnection, btnInstallClient);
  setTabOrder(btnInstallClient, Memo1);
}

void TfrmTXIUMain::BuildConfigTab(const TInstallCommandLine& commandLine,
                                  const TInstallSettings& settings) {
  tabConfigOptions = new QWidget;
  PageControl1->addTab(tabConfigOptions, QStringLiteral("Configuration Options"));
  GroupBox1 = new QGroupBox(QStringLiteral("Configuration Options"), tabConfigOptions);
  GroupBox1->setGeometry(8, 11, 395, 110);

  Label1 = Label(GroupBox1, "XServer", 24, 23);
  RdaServerEdit = Edit(GroupBox1, commandLine.XServer.value_or(settings.DemoHost), 72, 18, 241);
  Label2 = Label(GroupBox1, "Port", 320, 23);
  RdaServerPort = Edit(GroupBox1,
                       std::to_string(commandLine.XServerPort.value_or(settings.DemoPort)), 344,
                       18, 41);
  Label3 = Label(GroupBox1, "Web Server", 8, 54);
  WebServerEdit = Edit(GroupBox1, commandLine.WebServer.value_or(settings.DemoHost), 72, 49, 241);
  Label4 = Label(GroupBox1, "Port", 320, 54);
  WebServerPort = Edit(
      GroupBox1, std::to_string(commandLine.WebServerPort.value_or(settings.WebServerPort)), 344,
      49, 41);
  Label5 = Label(GroupBox1, "Rdahttp.dll", 12, 85);
  RdaHttpEdit = Edit(GroupBox1, "isapi/Rdahttp.dll", 72, 80, 145);
  Label5->setVisible(false);
  RdaHttpEdit->setVisible(false);
  PlaceAfterLabels({{Label1, RdaServerEdit}, {Label3, WebServerEdit}});
  PlaceAfterLabels({{Label2, RdaServerPort}, {Label4, WebServerPort}});
}

void TfrmTXIUMain::btnTestConnectionClick() {
  steps_->RunGuarded([this] { steps_->btnTestConnectionClick(); });
}

void TfrmTXIUMain::btnInstallClientClick() {
  steps_->RunGuarded([this] { steps_->btnInstallClientClick(); });
}

std::string TfrmTXIUMain::ConfigText(TConfigField field) const {
  const QLineEdit* edit = nullptr;
  switch (field) {
    case cfRdaServer:
      edit = RdaServerEdit;
      break;
    case cfRdaServerPort:
      edit = RdaServerPort;
      break;
    case cfWebServer:
      edit = WebServerEdit;
      break;
    case cfWebServerPort:
      edit = WebServerPort;
      break;
    case cfRdaHttp:
      edit = RdaHttpEdit;
      break;
  }
  return edit != nullptr ? FromQString(edit->text()) : std::string();
}

void TfrmTXIUMain::SetResultLabels(const std::string& tcpip, const std::string& http) {
  SetLabelText(lblTCPIPStatus, tcpip);
  SetLabelText(lblHTTPStatus, http);
}

void TfrmTXIUMain::SetCompanyName(const std::string& text) {
  lblCompanyName->setText(ToQString(text));
}

void TfrmTXIUMain::SetVersionText(const std::string& text) { SetLabelText(lblVerNum, text); }

void TfrmTXIUMain::SetTestButton(bool enabled, bool isDefault) {
  btnTestConnection->setEnabled(enabled);
  btnTestConnection->setDefault(isDefault);
}

void TfrmTXIUMain::SetInstallButton(bool enabled, bool isDefault) {
  btnInstallClient->setEnabled(enabled);
  btnInstallClient->setDefault(isDefault);
}

TRdaStatusDisplay& TfrmTXIUMain::StatusBar() { return *RDAStatusBar1; }

void TfrmTXIUMain::Repaint() { repaint(); }

void TfrmTXIUMain::SetBusyCursor(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++busy_;
  } else if (busy_ > 0) {
    QApplication::restoreOverrideCursor();
    --busy_;
  }
}

void TfrmTXIUMain::ShowError(const std::exception& error) {
  // Nothing else restores the cursor after a step that ended with an error.
  while (busy_ > 0) SetBusyCursor(false);
  ui_.ShowException(error);
}

void TfrmTXIUMain::TerminateApplication() {
  terminateRequested_ = true;
  ui_.TerminateApplication();
}

void TfrmTXIUMain::MessageDlg(const std::string& text, TMsgDlgType type) {
  ShowMessageDlg(this, text, type);
}

std::optional<std::string> TfrmTXIUMain::EnterCompanyCode(const std::string& caption) {
  TfrmEnterCompanyCode dlg(caption, this);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return FromQString(dlg.editCompanyCode->text());
}

void TfrmTXIUMain::keyPressEvent(QKeyEvent* event) {
  // Enter presses the default button, wherever the focus is.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    for (QPushButton* b : {btnTestConnection, btnInstallClient}) {
      if (b->isDefault() && b->isEnabled()) {
        b->click();
        return;
      }
    }
  }
  QMainWindow::keyPressEvent(event);
}

void TfrmTXIUMain::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  QMainWindow::showEvent(event);
}

}  // namespace rda
