#include "connection/RdaUserInterface.h"

#include <QCoreApplication>
#include <QSettings>
#include <cstdio>


namespace rda {

namespace {

constexpr char kPlaceholderAddress[] = "Put.YourAddress.Here";

QVariant HeadlessSetting(const char* key) {
  QSettings settings(QStringLiteral("Rda"));
  settings.beginGroup(QStringLiteral("Headless"));
  return settings.value(QString::fromLatin1(key));
}

}  // namespace

void TRdaHeadlessUserInterface::Print(const std::string& kind, const std::string& text) {
  shown_.push_back(text);
  if (!quiet_) std::fprintf(stderr, "[%s] %s\n", kind.c_str(), text.c_str());
}

void TRdaHeadlessUserInterface::ShowMessage(const std::string& text) { Print("message", text); }

bool TRdaHeadlessUserInterface::AskYesNo(const std::string& text) {
  const QVariant answer = HeadlessSetting("AnswerYes");
  const bool yes = answer.isValid() ? answer.toBool() : true;
  Print("question", text);
  if (!quiet_) std::fprintf(stderr, "[answer] %s\n", yes ? "Yes" : "No");
  return yes;
}

std::optional<TRdaLoginEntry> TRdaHeadlessUserInterface::LoginDialog() {
  const QVariant user = HeadlessSetting("UserName");
  if (!user.isValid()) {
    Print("login", "no Headless/UserName setting: the login dialog counts as cancelled");
    return std::nullopt;
  }
  return TRdaLoginEntry{user.toString().toStdString(),
                        HeadlessSetting("Password").toString().toStdString()};
}

std::optional<TRdaLoginEntry> TRdaHeadlessUserInterface::ProxyLoginDialog(const std::string& proxy) {
  const QVariant user = HeadlessSetting("ProxyUserName");
  if (!user.isValid()) {
    Print("proxy login", proxy + ": no Headless/ProxyUserName setting: the question counts as cancelled");
    return std::nullopt;
  }
  Print("proxy login", proxy);
  return TRdaLoginEntry{user.toString().toStdString(),
                        HeadlessSetting("ProxyPassword").toString().toStdString()};
}

std::optional<std::string> TRdaHeadlessUserInterface::InputAddress(const std::string& title,
                                                                   const std::string& prompt,
                                                                   const std::string& initial) {
  Print("prompt", title + ": " + prompt + " [" + initial + "]");
  if (initial.empty() || initial == kPlaceholderAddress) return std::nullopt;
  return initial;
}

TRdaAddressChoice TRdaHeadlessUserInterface::ChooseAddress(const std::vector<std::string>& list,
                                                           const std::string& last) {
  Print("address list", last);
  return TRdaAddressChoice{!last.empty(), last, list};
}

void TRdaHeadlessUserInterface::TerminateApplication() {
  ++terminateRequests_;
  Print("terminate", "the application is asked to end");
  if (QCoreApplication::instance() != nullptr) QCoreApplication::quit();
}

void TRdaHeadlessUserInterface::ShowException(const std::exception& error) {
  Print("error", error.what());
}

void TRdaHeadlessUserInterface::ClientUpdateStarted() {
  Print("update", "Program Update In Progress . . . ");
}

void TRdaHeadlessUserInterface::ClientUpdateEnded() { Print("update", "the update window is closed"); }


}  // namespace rda
