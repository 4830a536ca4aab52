#include "install/VNXDBSys.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include <QElapsedTimer>
#include <QTcpSocket>

#include "base/Exception.h"
#include "install/IniFile.h"

namespace rda {

namespace {

struct WinsockText {
  int code;
  const char* text;
};

// The resolver's string table: every Winsock code it can report, in its own words.
constexpr WinsockText kWinsockTexts[] = {
    {0, "[0] No Error"},
    {10004, "[10004] Interrupted system call"},
    {10009, "[10009] Bad file number"},
    {10013, "[10013] Permission denied"},
    {10014, "[10014] Bad address"},
    {10022, "[10022] Invalid argument"},
    {10024, "[10024] Too many open files"},
    {10035, "[10035] Operation would block"},
    {10036, "[10036] Operation now in progress"},
    {10037, "[10037] Operation already in progress"},
    {10038, "[10038] Socket operation on non-socket"},
    {10039, "[10039] Destination address required"},
    {10040, "[10040] Message too long"},
    {10041, "[10041] Protocol wrong type for socket"},
    {10042, "[10042] Bad protocol option"},
    {10043, "[10043] Protocol not supported"},
    {10044, "[10044] Socket type not supported"},
    {10045, "[10045] Operation not supported on socket"},
    {10046, "[10046] Protocol family not supported"},
    {10047, "[10047] Address family not supported by protocol family"},
    {10048, "[10048] Address already in use"},
    {10049, "[10049] Can't assign requested address"},
    {10050, "[10050] Network is down"},
    {10051, "[10051] Network is unreachable"},
    {10052, "[10052] Net dropped connection or reset"},
    {10053, "[10053] Software caused connection abort"},
    {10054, "[10054] Connection reset by peer"},
    {10055, "[10055] No buffer space available"},
    {10056, "[10056] Socket is already connected"},
    {10057, "[10057] Socket is not connected"},
    {10058, "[10058] Can't send after socket shutdown"},
    {10059, "[10059] Too many references, can't splice"},
    {10060, "[10060] Connection timed out"},
    {10061, "[10061] Connection refused"},
    {10062, "[10062] Too many levels of symbolic links"},
    {10063, "[10063] File name too long"},
    {10064, "[10064] Host is down"},
    {10065, "[10065] No route to host"},
    {10066, "[10066] Directory not empty"},
    {10067, "[10067] Too many processes"},
    {10068, "[10068] Too many users"},
    {10069, "[10069] Disk quota exceeded"},
    {10070, "[10070] Stale NFS file handle"},
    {10071, "[10071] Too many levels of remote in path"},
    {10091, "[10091] Network subsystem is unusable"},
    {10092, "[10092] Winsock DLL cannot support this application"},
    {10093, "[10093] Winsock not initialized"},
    {10094, "[10094] Disconnect"},
    {11001, "[11001] Host not found"},
    {11002, "[11002] Non-Authoritative Host not found"},
    {11003, "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "[11004] Valid name, no data record of requested type"},
};
static_assert(sizeof kWinsockTexts / sizeof kWinsockTexts[0] == 52);

// getaddrinfo's failures in the Winsock codes the system reports.
int WinsockCodeOf(int gaiError) {
  switch (gaiError) {
    case EAI_NONAME:
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return 11004;
#endif
    case EAI_MEMORY:
      return 10055;
    default:
      return 11003;
  }
}

bool IsDottedAddress(const std::string& name) {
  in_addr addr{};
  return inet_pton(AF_INET, name.c_str(), &addr) == 1;
}

}  // namespace

bool SplitAt(std::string_view text, std::string_view separator, std::string& left,
             std::string& right) {
  const size_t at = text.find(separator);
  if (separator.empty() || at == std::string_view::npos) return false;
  left = std::string(text.substr(0, at));
  right = std::string(text.substr(at + 1));
  return true;
}

std::string GetCompanyCode(const TInstallCommandLine& commandLine, std::string_view prefix) {
  std::string result;
  if (!commandLine.FirstArgument.empty()) {
    result = UpperAscii(commandLine.FirstArgument);
    const size_t ini = result.find(".INI");
    if (ini != std::string::npos) result.resize(ini);
  }
  if (result == "TCP") result.clear();
  if (!result.empty()) return result;

  std::string name = commandLine.ProgramFileName();
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  if (UpperAscii(std::string_view(name).substr(0, prefix.size())) == UpperAscii(prefix)) {
    result = UpperAscii(std::string_view(name).substr(prefix.size(), 16));
  }
  return result;
}

std::string AskCompanyCode(TInstallDialogs& dialogs, const std::string& caption) {
  const auto typed = dialogs.EnterCompanyCode(caption);
  std::string code = typed ? UpperAscii(*typed) : std::string(kCancelCode);
  const size_t ini = code.find(".INI");
  if (ini != std::string::npos) code.resize(ini);
  return code;
}

std::string ReadServerIni(const std::string& path, TXServerLocation& location) {
  const TIniFile ini(path);
  location.Host = ini.ReadString(kXServerSection, "XServerHost", "");
  location.LanAddress = ini.ReadString(kXServerSection, "XServerHostIP", "");
  location.Port = ini.ReadInteger(kXServerSection, "XServerPort", 0);
  if (location.Port == 0 || IsPort(location.Port)) return {};
  const std::string refused =
      path + ": XServerPort " + std::to_string(location.Port) + " is not a port (1 to 65535)";
  location = TXServerLocation{};
  return refused;
}

void WriteServerIni(const std::string& iniPath, const TXServerLocation& location) {
  TIniFile ini(iniPath);
  if (!location.Host.empty()) ini.WriteString(kXServerSection, "XServerHost", location.Host);
  if (!location.LanAddress.empty()) {
    ini.WriteString(kXServerSection, "XServerHostIP", location.LanAddress);
  }
  ini.WriteInteger(kXServerSection, "XServerPort", location.Port);
  ini.UpdateFile();
}

void WriteWebServerIni(const std::string& iniPath, const std::string& webHost,
                       const std::string& xserverAddress, const std::string& isapiPath,
                       int webPort) {
  TIniFile ini(iniPath);
  ini.WriteString(kXServerSection, "WebServerHost", webHost);
  ini.WriteInteger(kXServerSection, "WebServerPort", webPort);
  ini.WriteString(kXServerSection, "WebXServerLANIP", xserverAddress);
  ini.WriteString(kXServerSection, "WebISAPIDLL", isapiPath);
  ini.UpdateFile();
}

std::string WinsockErrorText(int code) {
  for (const WinsockText& t : kWinsockTexts) {
    if (t.code == code) return t.text;
  }
  return "Winsock error no " + std::to_string(code);
}

std::string ResolveHostAddress(const std::string& name) {
  if (IsDottedAddress(name)) return name;
  // A name with a NUL byte, or none at all, names no host.
  if (name.empty() || name.find('\0') != std::string::npos) {
    throw EWinsockError(WinsockErrorText(11001), 11001);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    const int code = rc != 0 ? WinsockCodeOf(rc) : 11004;
    throw EWinsockError(WinsockErrorText(code), code);
  }
  char text[INET_ADDRSTRLEN] = {};
  sockaddr_in addr{};
  std::memcpy(&addr, found->ai_addr, sizeof addr);
  freeaddrinfo(found);
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) == nullptr) {
    throw EWinsockError(WinsockErrorText(11004), 11004);
  }
  return text;
}

void NoteUnresolvedHost(TInstallDialogs& dialogs, const std::string& name,
                        std::string_view role) {
  dialogs.Note("Could not resolve the host name " + name + " (" + std::string(role) + ")");
}

std::string ResolveHostAddress(const std::string& name, TInstallDialogs& dialogs,
                               std::string_view role) {
  try {
    return ResolveHostAddress(name);
  } catch (const EWinsockError&) {
    NoteUnresolvedHost(dialogs, name, role);
    throw;
  }
}

bool IsXServerLocal(const std::string& lanAddress, int port) {
  if (lanAddress.empty() || port <= 0 || port + 10000 > 65535) return false;
  static constexpr char kProbe[] = "XServerLocal";
  constexpr qint64 kProbeSize = sizeof kProbe - 1;
  QTcpSocket echo;
  echo.connectToHost(QString::fromStdString(lanAddress), static_cast<quint16>(port + 10000));
  if (!echo.waitForConnected(kEchoConnectLimitMs)) return false;
  if (echo.write(kProbe, kProbeSize) != kProbeSize) return false;
  // The echo may come in pieces; it is read up to the probe's length and for a
  // limited time only, so a service that sends nothing (or too much) cannot hold us.
  QByteArray answer;
  QElapsedTimer clock;
  clock.start();
  while (answer.size() < kProbeSize) {
    const qint64 left = kEchoReadLimitMs - clock.elapsed();
    if (left <= 0) break;
    if (echo.bytesAvailable() == 0 && !echo.waitForReadyRead(static_cast<int>(left))) break;
    answer += echo.read(kProbeSize - answer.size());
  }
  echo.abort();
  return answer == QByteArray(kProbe, kProbeSize);
}

}  // namespace rda
