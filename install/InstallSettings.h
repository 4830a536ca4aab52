// Where the install utility looks for its servers, and how it was started.
//
// Deployment settings. The install utility talks to a few fixed places: the
// demonstration server (the default of the configuration tab's host names), the
// directory data server that maps company codes to servers, the module FTP server
// that holds the TCP/IP client, and the web server port in front of the tunnelling
// extension. Each place is a setting with a default, read in this order (a later
// source wins):
//
//   1. the defaults below;
//   2. the file "TamrixDeploy.ini" beside the program, section [Deployment];
//   3. the environment variables.
//
//   key in the file   environment variable      default      used for
//   DemoHost          TAMRIX_DEMO_HOST          localhost    XServer and Web Server host names
//   DemoPort          TAMRIX_DEMO_PORT          9406         XServer port
//   DirectoryHost     TAMRIX_DIRECTORY_HOST     localhost    the directory data server
//   DirectoryPort     TAMRIX_DIRECTORY_PORT     9399         its data server port
//   ModuleFtpHost     TAMRIX_MODULE_FTP_HOST    localhost    the module FTP server
//   ModuleFtpPort     TAMRIX_MODULE_FTP_PORT    21           its port
//   WebServerPort     TAMRIX_WEB_PORT           80           the web server port (the
//                                                            configuration tab's default
//                                                            and the directory's tunnel)
//   Tls               TAMRIX_TLS                0            TLS on every direct connection
//                                                            (directory look-up, XServer
//                                                            test and install); not over HTTP
//   TlsCaFile         TAMRIX_TLS_CA             (empty)      the PEM certificates TLS trusts;
//                                                            empty: the system's trust store
//
// A port that is not a number from 1 to 65535, a host that is empty or holds a blank
// or control character, or a Tls that is not 1, 0, true, false, yes or no (in any
// letter case) raises rda::Exception "Invalid deployment setting <key>: <value>" so
// that a mistyped setting is never silently replaced by a default.
//
// The command line is read before the Qt application exists, so that help and a bad
// option are answered on any machine, with or without a display. The first argument
// that does not start with "-" is the first command-line argument of the
// company-code rules (a company code, "address:port", a settings file name, or
// "tcp"). Options of our own:
//
//   --headless              run the test and the install without a window
//   --company-code CODE     the answer to the company-code dialog (needs --headless)
//   --xserver HOST          the configuration tab's XServer host
//   --xserver-port N        its port
//   --web-server HOST       the configuration tab's Web Server host
//   --web-port N            its port
//   --tls                   TLS on the direct connections (over the setting Tls)
//   --tls-ca FILE           the PEM certificates TLS trusts (over TlsCaFile); implies --tls
//   -h, --help              the option list
//
// Qt's own options (-platform NAME, -style NAME, ... with one or two dashes) are
// skipped with their values and left to the application. Any other argument that
// starts with "-", an option without its value, a port that is not 1 to 65535, and
// --company-code without --headless raise rda::Exception with the reason.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace rda {

struct TInstallSettings {
  std::string DemoHost = "localhost";
  int DemoPort = 9406;
  std::string DirectoryHost = "localhost";
  int DirectoryPort = 9399;
  std::string ModuleFtpHost = "localhost";
  int ModuleFtpPort = 21;
  int WebServerPort = 80;
  bool Tls = false;
  std::string TlsCaFile;  // empty: the system's trust store

  static constexpr const char* kFileName = "TamrixDeploy.ini";
  static constexpr const char* kSection = "Deployment";

  // Defaults, then `folder` + kFileName (when present), then the environment.
  // `folder` ends with a separator.
  static TInstallSettings Load(const std::string& folder);
  // The environment variables alone over `base` (for tests and callers that have no
  // file).
  static TInstallSettings FromEnvironment(TInstallSettings base);
};

struct TInstallCommandLine {
  // The program file as started (argv[0], made absolute; a link keeps its own name).
  std::string ProgramPath;
  // The first argument that is not an option; empty when there is none.
  std::string FirstArgument;
  bool Headless = false;
  bool Help = false;
  std::optional<std::string> CompanyCode;
  std::optional<std::string> XServer;
  std::optional<int> XServerPort;
  std::optional<std::string> WebServer;
  std::optional<int> WebServerPort;
  bool Tls = false;  // --tls, or --tls-ca
  std::optional<std::string> TlsCaFile;

  // `args` without the program; `programPath` as argv[0] gives it.
  static TInstallCommandLine Parse(const std::string& programPath,
                                   const std::vector<std::string>& args);
  static const char* Usage();

  // The program's folder, with a trailing separator.
  std::string ProgramFolder() const;
  // The program's own settings file: its path with the extension replaced by ".ini"
  // (TamrixInstall gives TamrixInstall.ini beside it).
  std::string OwnIniFile() const;
  // The program file's name without its folder.
  std::string ProgramFileName() const;
  // TLS of the direct connections: the options over the deployment settings.
  bool UseTls(const TInstallSettings& settings) const { return Tls || settings.Tls; }
  std::string TlsCaFileOf(const TInstallSettings& settings) const {
    return TlsCaFile.value_or(settings.TlsCaFile);
  }
};

// argv[0] as an absolute path: kept when absolute, joined to the current folder when
// it names a folder, else the running program's folder joined to it (found on PATH).
std::string AbsoluteProgramPath(const std::string& argv0, const std::string& runningExe);

}  // namespace rda
