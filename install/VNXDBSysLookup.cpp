// The parts of the company search that talk to servers: the directory look-up over
// the client connection and the search loop around it.
#include <memory>

#include "base/Convert.h"
#include "base/Exception.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaWebServer.h"
#include "install/FileUtil.h"
#include "install/VNXDBSys.h"
#include "remotedata/RdaClientDataset.h"

namespace rda {

namespace {

constexpr char kDirectoryTunnelPath[] = "isapi/RdaHttp.dll";
constexpr char kDirectoryRole[] = "the directory data server";
constexpr char kDemoRole[] = "the demonstration host";
// The Winsock codes of a failed host-name look-up (host not found ... no address).
constexpr int kFirstLookupError = 11001;
constexpr int kLastLookupError = 11004;

std::string QuotedSql(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// A code names a settings file beside the program only when it cannot name a file
// anywhere else.
bool UsableAsFileName(const std::string& code) {
  return code.find('/') == std::string::npos && code.find('\0') == std::string::npos &&
         code != "." && code != "..";
}

// ReadServerIni with its refusal noted.
void ReadIni(const TInstallContext& context, const std::string& path, TXServerLocation& location) {
  const std::string refused = ReadServerIni(path, location);
  if (!refused.empty()) context.Dialogs.Note(refused);
}

void ReadCodeIni(const TInstallContext& context, const std::string& code,
                 TXServerLocation& location) {
  if (UsableAsFileName(code)) {
    ReadIni(context, FindFileIgnoringCase(context.CommandLine.ProgramFolder(), code + ".ini"),
            location);
  } else {
    location = TXServerLocation{};
  }
}

// Over TCP/IP, a company server that answers on its LAN address is used there.
void LanCheck(TRdaClientSocket& socket, TXServerLocation& location) {
  if (location.Port > 0 && !location.Host.empty() && !location.LanAddress.empty() &&
      !socket.WebServer().AddCookie() && IsXServerLocal(location.LanAddress, location.Port)) {
    location.Host.clear();
  }
}

}  // namespace

void LookupCompanyHost(const TInstallContext& context, TRdaClientSocket& socket,
                       const std::string& code, TXServerLocation& location) {
  const TRdaConnectAction connectAction = socket.ConnectAction();
  const TLoginType loginType = socket.AutoLoginDlg();
  socket.SetAutoLoginDlg(ltNoChallenge);
  socket.SetConnectAction(caNone);
  const TInstallSettings& s = context.Settings;
  if (socket.WebServer().AddCookie()) {
    const std::string demo = ResolveHostAddress(s.DemoHost, context.Dialogs, kDemoRole);
    std::string directory =
        ResolveHostAddress(s.DirectoryHost, context.Dialogs, kDirectoryRole);
    // The directory runs on the web server's own machine.
    if (demo == directory) directory = "127.0.0.1";
    socket.SetHost("");
    socket.SetupWebTunnel(demo, directory, kDirectoryTunnelPath,
                          static_cast<uint16_t>(s.WebServerPort),
                          static_cast<uint16_t>(s.DirectoryPort));
    socket.WebServer().SetUseWebServer(true);
  } else {
    socket.SetHost(s.DirectoryHost);
    socket.SetPort(s.DirectoryPort);
  }
  try {
    socket.OpenAndWait();
  } catch (const ESocketError& e) {
    // The connection looked the directory's name up itself; its error names no host.
    if (e.ErrorCode() >= kFirstLookupError && e.ErrorCode() <= kLastLookupError &&
        !socket.WebServer().AddCookie()) {
      NoteUnresolvedHost(context.Dialogs, s.DirectoryHost, kDirectoryRole);
    }
    throw;
  }
  {
    TRdaClientDataSet hosts;
    hosts.SetName("VNXHOSTS");
    hosts.SetRdaClientSocket(&socket);
    try {
      hosts.SetSQL({"Select * From VNXHOSTS", "Where XCompanyCode = " + QuotedSql(code)});
      hosts.Open();
      if (hosts.IsEmpty()) {
        location = TXServerLocation{};
      } else {
        // Read wide, so that no value wraps before it is checked.
        const int64_t port = hosts.FieldByName("XPort").AsLargeInt();
        if (port != 0 && !IsPort(port)) {
          throw Exception("The directory's row for " + code + " has the port " +
                          std::to_string(port) + ", which is not a port (1 to 65535)");
        }
        location.Host = hosts.FieldByName("XHost").AsString();
        location.Port = static_cast<int>(port);
        location.LanAddress = hosts.FieldByName("XLANIPAddress").AsString();
      }
      hosts.Close();
    } catch (...) {
      socket.CloseAndWait();
      throw;
    }
    socket.CloseAndWait();
  }
  socket.SetAutoLoginDlg(loginType);
  socket.SetConnectAction(connectAction);
  socket.WebServer().SetUseWebServer(false);
  socket.SetSessionId(0);
}

void LocateXServer(const TInstallContext& context, TRdaClientSocket& socket, std::string code,
                   TXServerLocation& location) {
  location = TXServerLocation{};
  std::string left;
  std::string right;
  if (SplitAt(code, ":", left, right)) {
    const auto port = TryStrToInt(right);
    if (port && IsPort(*port)) {
      location.LanAddress = left;
      location.Port = *port;
      return;
    }
    // Not a port: the pair goes on as a code, as one whose port is no number does.
    if (port) context.Dialogs.Note(code + ": " + right + " is not a port (1 to 65535)");
  }

  // From here on every port read is 0 (not found) or a port: the readers refuse the
  // rest, so none is ever negative.
  const TInstallCommandLine& cmd = context.CommandLine;
  if (!code.empty() && location.Port == 0) ReadCodeIni(context, code, location);
  if (code.empty() && location.Port == 0) {
    ReadIni(context, FindFileIgnoringCase(cmd.ProgramFolder(), "xDefault.ini"), location);
  }
  if (code.empty() && location.Port == 0) ReadIni(context, cmd.OwnIniFile(), location);
  if (!code.empty() && cmd.FirstArgument.empty() && location.Port == 0) {
    ReadIni(context, cmd.OwnIniFile(), location);
  }
  if (location.Port > 0) {
    LanCheck(socket, location);
    return;
  }

  while (location.Port == 0) {
    if (code.empty()) code = AskCompanyCode(context.Dialogs, socket.ApplicationName());
    if (code == kCancelCode) {
      location.Host = kTerminateHost;
      return;
    }
    ReadCodeIni(context, code, location);
    if (location.Port == 0) {
      LookupCompanyHost(context, socket, code, location);
      if (location.Port > 0) WriteServerIni(cmd.OwnIniFile(), location);
    }
    LanCheck(socket, location);
    if (location.Port == 0) {
      context.Dialogs.MessageDlg(
          "You have entered an incorrect Company Code. Try Again.\r\n"
          "(Type in DEMO if you want to run the Demo version).",
          mtError);
      code.clear();
    }
  }
}

}  // namespace rda
