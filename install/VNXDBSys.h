// Company code, server location, settings files, LAN probe, directory look-up and the
// host-name resolver of the install utility.
//
// A company code names the company. It comes from the first command-line argument,
// from the program file's name (TamrixInstallAcme gives ACME) or from the
// company-code dialog, and it selects a settings file "<CODE>.ini" beside the program
// or a row of the directory data server's host table VNXHOSTS. The outcome is a
// server location (TXServerLocation).
//
// Settings files (section "XServer"; TIniFile, so that the Windows client reads them):
//
//   key              written by           meaning
//   XServerHost      WriteServerIni       the data server's public host name (not when empty)
//   XServerHostIP    WriteServerIni       its LAN address (not when empty)
//   XServerPort      WriteServerIni       its port (always)
//   WebServerHost    WriteWebServerIni    the web server's host name
//   WebServerPort    WriteWebServerIni    the web server's port
//   WebXServerLANIP  WriteWebServerIni    the data server's address as the web server sees it
//   WebISAPIDLL      WriteWebServerIni    the tunnelling extension's path on the web server
#pragma once

#include <string>
#include <string_view>

#include "install/InstallDialogs.h"
#include "install/InstallSettings.h"
#include "install/TextUtil.h"

namespace rda {

class TRdaClientSocket;

// Where the company's data server is. Port 0 means "not found"; the host
// "TERMINATE" means that the user cancelled and the program must end. An empty host
// means "use the LAN address as it is".
struct TXServerLocation {
  std::string Host;
  std::string LanAddress;
  int Port = 0;
};

inline constexpr const char* kXServerSection = "XServer";
inline constexpr const char* kTerminateHost = "TERMINATE";
inline constexpr const char* kCancelCode = "CANCEL";

// Everything the company search needs to know about how the program was started and
// where it talks to. The references must outlive the calls that take the context.
struct TInstallContext {
  const TInstallCommandLine& CommandLine;
  const TInstallSettings& Settings;
  TInstallDialogs& Dialogs;
};

// Finds the first `separator`; when found, left := the text before it, right := the
// text after its first character (callers that read `right` pass one character), and
// returns true. Otherwise leaves both alone and returns false.
bool SplitAt(std::string_view text, std::string_view separator, std::string& left,
             std::string& right);

// The company code from the first command-line argument (upper-cased and cut before
// ".INI"; "TCP" counts as none), else from the program file's name: the at most 16
// characters after `prefix` (compared without regard to case) of the name cut before
// its first ".", upper-cased. Empty when neither gives one.
std::string GetCompanyCode(const TInstallCommandLine& commandLine, std::string_view prefix);

// Shows the company-code dialog: "CANCEL" when cancelled, else the typed code
// upper-cased and cut before ".INI".
std::string AskCompanyCode(TInstallDialogs& dialogs, const std::string& caption);

// Reads XServerHost, XServerHostIP and XServerPort of `path` into `location` (all
// three replaced; a missing file or key reads as "", "" and 0). A port that is not 1
// to 65535 is refused: the file then counts as not found ("", "" and 0) and the
// result says why; otherwise the result is empty. Raises what TIniFile raises for a
// file that cannot be read or is too large.
std::string ReadServerIni(const std::string& path, TXServerLocation& location);
// Writes the location into the settings file `iniPath` (the program's own).
void WriteServerIni(const std::string& iniPath, const TXServerLocation& location);
void WriteWebServerIni(const std::string& iniPath, const std::string& webHost,
                       const std::string& xserverAddress, const std::string& isapiPath,
                       int webPort);

// A host name or dotted IPv4 address as dotted IPv4 text. A dotted address comes
// back unchanged; a name is looked up (getaddrinfo, IPv4) and its first address is
// returned. A failed look-up raises EWinsockError with WinsockErrorText(code) and the
// code: 11001 no such host, 11002 a temporary failure, 11003 a failure of the name
// service, 11004 a name without an IPv4 address, 10055 out of memory.
std::string ResolveHostAddress(const std::string& name);
// The same, and when the name cannot be resolved `dialogs` notes which name it was
// and what it is (`role`, e.g. "the directory data server") before the error passes:
// the error's text is the system's and names no host.
std::string ResolveHostAddress(const std::string& name, TInstallDialogs& dialogs,
                               std::string_view role);
// The note of a host name that could not be resolved:
// "Could not resolve the host name <name> (<role>)".
void NoteUnresolvedHost(TInstallDialogs& dialogs, const std::string& name, std::string_view role);
// "[<code>] <text>" for the 52 Winsock codes the resolver knows, else
// "Winsock error no <code>".
std::string WinsockErrorText(int code);

// The LAN probe: true when the echo service at `lanAddress`, port + 10000, accepts a
// connection within 500 ms and sends "XServerLocal" back within kEchoReadLimitMs.
// Any failure gives false.
inline constexpr int kEchoConnectLimitMs = 500;
inline constexpr int kEchoReadLimitMs = 1500;
bool IsXServerLocal(const std::string& lanAddress, int port);

// Asks the directory data server for the company's row of VNXHOSTS over `socket`
// (directly, or through the web server when the socket's WebServer.AddCookie is set)
// and fills `location` (port 0 when the code has no row). On its normal path it
// leaves the connection closed, its login settings restored, tunnelling off and the
// session id 0. Raises what the connection or the query raises, and rda::Exception
// for a row whose port is not 0 and not 1 to 65535 (asking again would not help).
void LookupCompanyHost(const TInstallContext& context, TRdaClientSocket& socket,
                       const std::string& code, TXServerLocation& location);

// Finds the company's data server for `code`: an "address:port" pair, the settings
// files, the company-code dialog and the directory, with the LAN probe for TCP/IP.
// A pair whose port is not 1 to 65535 counts as a code like any other, as one whose
// port is not a number does; a settings file with such a port counts as not found.
// Either is noted (TInstallDialogs::Note), so the port never wraps to 16 bits.
// Directory rows are saved to the program's own settings file. Loops until a location
// is found or the dialog is cancelled (host "TERMINATE"). Raises what the directory
// look-up and the resolver raise.
void LocateXServer(const TInstallContext& context, TRdaClientSocket& socket, std::string code,
                   TXServerLocation& location);

}  // namespace rda
