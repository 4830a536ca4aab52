#include "connection/RdaGetIP.h"

#include <QSettings>
#include <QString>

#include <algorithm>
#include <vector>

#include "base/Text.h"

namespace rda {

namespace {

constexpr char kLast[] = "IPForTesting";
constexpr char kCount[] = "IP Address Count";
constexpr char kEntry[] = "IPAddress ";

class TAddressStore {
 public:
  TAddressStore() : settings_(QStringLiteral("Rda")) { settings_.beginGroup(QStringLiteral("Misc")); }

  std::string Read(const std::string& name) {
    return settings_.value(QString::fromStdString(name)).toString().toStdString();
  }
  int ReadInt(const std::string& name) {
    return settings_.value(QString::fromStdString(name), 0).toInt();
  }
  void Write(const std::string& name, const std::string& value) {
    settings_.setValue(QString::fromStdString(name), QString::fromStdString(value));
  }
  void WriteInt(const std::string& name, int value) {
    settings_.setValue(QString::fromStdString(name), value);
  }

 private:
  QSettings settings_;
};

// Addresses are trimmed as the platform trims (every byte up to the space) and
// compared as names are, by ASCII case.
std::string Trim(const std::string& s) { return std::string(TrimControls(s)); }

bool Listed(const std::vector<std::string>& list, const std::string& text) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& e) { return SameTextAscii(e, text); });
}

}  // namespace

std::string ChooseIPAddress(TRdaUserInterface& ui, bool terminateWhenEmpty) {
  TAddressStore store;
  const int count = store.ReadInt(kCount);
  const std::string last = store.Read(kLast);
  std::vector<std::string> list;
  for (int i = 0; i < count; ++i) {
    const std::string entry = Trim(store.Read(kEntry + std::to_string(i)));
    if (!entry.empty() && !SameTextAscii(entry, last)) list.push_back(entry);
  }
  list.push_back(last);

  TRdaAddressChoice choice = ui.ChooseAddress(list, last);
  const std::string text = Trim(choice.Text);
  if (!text.empty() && !Listed(choice.List, text)) choice.List.push_back(text);
  // The dialog's list is sorted; store it in that order.
  std::sort(choice.List.begin(), choice.List.end(), [](const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
  });
  store.Write(kLast, text);
  store.WriteInt(kCount, static_cast<int>(choice.List.size()));
  for (size_t i = 0; i < choice.List.size(); ++i)
    store.Write(kEntry + std::to_string(i), choice.List[i]);

  const std::string address = choice.Accepted ? text : std::string();
  if (address.empty() && terminateWhenEmpty) ui.TerminateApplication();
  return address;
}

std::optional<std::string> AskServerAddress(TRdaUserInterface& ui) {
  TAddressStore store;
  std::string address = store.Read(kLast);
  if (address.empty()) address = "Put.YourAddress.Here";
  std::optional<std::string> answer =
      ui.InputAddress("Server Address", "Please specify the IP address of the server", address);
  if (!answer) {
    ui.TerminateApplication();
    return std::nullopt;
  }
  if (!answer->empty()) store.Write(kLast, *answer);
  return answer;
}

std::string ReadIPForTesting() { return TAddressStore().Read(kLast); }

}  // namespace rda
