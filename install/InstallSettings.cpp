#include "install/InstallSettings.h"

#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "base/Exception.h"
#include "install/FileUtil.h"
#include "install/IniFile.h"
#include "install/TextUtil.h"

namespace rda {

namespace {

int ParsePort(const std::string& key, const std::string& text) {
  const auto port = PortFromText(text);
  if (!port) throw Exception("Invalid deployment setting " + key + ": " + text);
  return *port;
}

std::string CheckHost(const std::string& key, const std::string& text) {
  bool ok = !text.empty() && text.size() <= 255;
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7F) ok = false;
  }
  if (!ok) throw Exception("Invalid deployment setting " + key + ": " + text);
  return text;
}

bool ParseFlag(const std::string& key, const std::string& text) {
  for (const char* word : {"1", "true", "yes"}) {
    if (SameTextAscii(text, word)) return true;
  }
  for (const char* word : {"0", "false", "no"}) {
    if (SameTextAscii(text, word)) return false;
  }
  throw Exception("Invalid deployment setting " + key + ": " + text);
}

// Reads one setting's text (named by its key or variable) into its field.
using Assign = std::function<void(const std::string& key, const std::string& text)>;

// The setting's fields and their names, once for the file and the environment.
template <typename F>
void ForEachSetting(TInstallSettings& s, F&& f) {
  const auto host = [](std::string& field) -> Assign {
    return [&field](const std::string& key, const std::string& text) { field = CheckHost(key, text); };
  };
  const auto port = [](int& field) -> Assign {
    return [&field](const std::string& key, const std::string& text) { field = ParsePort(key, text); };
  };
  f("DemoHost", "TAMRIX_DEMO_HOST", host(s.DemoHost));
  f("DemoPort", "TAMRIX_DEMO_PORT", port(s.DemoPort));
  f("DirectoryHost", "TAMRIX_DIRECTORY_HOST", host(s.DirectoryHost));
  f("DirectoryPort", "TAMRIX_DIRECTORY_PORT", port(s.DirectoryPort));
  f("ModuleFtpHost", "TAMRIX_MODULE_FTP_HOST", host(s.ModuleFtpHost));
  f("ModuleFtpPort", "TAMRIX_MODULE_FTP_PORT", port(s.ModuleFtpPort));
  f("WebServerPort", "TAMRIX_WEB_PORT", port(s.WebServerPort));
  f("Tls", "TAMRIX_TLS", [&s](const std::string& key, const std::string& text) { s.Tls = ParseFlag(key, text); });
  f("TlsCaFile", "TAMRIX_TLS_CA", [&s](const std::string&, const std::string& text) { s.TlsCaFile = text; });
}

}  // namespace

TInstallSettings TInstallSettings::Load(const std::string& folder) {
  TInstallSettings s;
  const std::string file = FindFileIgnoringCase(folder, kFileName);
  if (FileExists(file)) {
    const TIniFile ini(file);
    ForEachSetting(s, [&](const char* key, const char*, const Assign& assign) {
      if (ini.ValueExists(kSection, key)) assign(key, ini.ReadString(kSection, key, ""));
    });
  }
  return FromEnvironment(std::move(s));
}

TInstallSettings TInstallSettings::FromEnvironment(TInstallSettings base) {
  ForEachSetting(base, [&](const char*, const char* env, const Assign& assign) {
    if (const char* value = std::getenv(env)) assign(env, value);
  });
  return base;
}

namespace {

// The options the Qt application reads itself (with one or two dashes): they are
// left to it and never taken for the company code. `value`: the next argument
// belongs to the option (unless it was written as -option=value).
struct QtOption {
  const char* name;
  bool value;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},    {"platformpluginpath", true}, {"platformtheme", true},
    {"plugin", true},      {"qwindowgeometry", true},    {"geometry", true},
    {"qwindowtitle", true}, {"title", true},             {"qwindowicon", true},
    {"icon", true},        {"session", true},            {"style", true},
    {"stylesheet", true},  {"display", true},            {"name", true},
    {"qmljsdebugger", true}, {"reverse", false},         {"widgetcount", false},
    {"nograb", false},     {"dograb", false},            {"testability", false},
    {"sync", false},
};

// The Qt option `arg` names, or null.
const QtOption* FindQtOption(const std::string& arg) {
  std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
  name = name.substr(0, name.find('='));
  for (const QtOption& o : kQtOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

}  // namespace

TInstallCommandLine TInstallCommandLine::Parse(const std::string& programPath,
                                               const std::vector<std::string>& args) {
  TInstallCommandLine c;
  c.ProgramPath = programPath;
  bool haveFirst = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') {
      if (!haveFirst) {
        c.FirstArgument = a;
        haveFirst = true;
      }
      continue;
    }
    const auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw Exception("Option " + a + " needs a value");
      return args[++i];
    };
    const auto port = [&]() {
      const std::string v = value();
      const auto n = PortFromText(v);
      if (!n) throw Exception("Option " + a + ": invalid port " + v + " (a port is 1 to 65535)");
      return *n;
    };
    if (a == "--headless") {
      c.Headless = true;
    } else if (a == "--help" || a == "-h") {
      c.Help = true;
    } else if (a == "--company-code") {
      c.CompanyCode = value();
    } else if (a == "--xserver") {
      c.XServer = value();
    } else if (a == "--xserver-port") {
      c.XServerPort = port();
    } else if (a == "--web-server") {
      c.WebServer = value();
    } else if (a == "--web-port") {
      c.WebServerPort = port();
    } else if (a == "--tls") {
      c.Tls = true;
    } else if (a == "--tls-ca") {
      c.TlsCaFile = value();
      if (c.TlsCaFile->empty()) throw Exception("Option --tls-ca needs a file name");
      c.Tls = true;
    } else if (const QtOption* qt = FindQtOption(a)) {
      if (qt->value && a.find('=') == std::string::npos) value();
    } else {
      throw Exception("Unknown option " + a);
    }
  }
  // The window asks for the code itself; only the headless run answers its dialog
  // from the command line.
  if (c.CompanyCode && !c.Headless && !c.Help) {
    throw Exception("Option --company-code needs --headless");
  }
  return c;
}

const char* TInstallCommandLine::Usage() {
  return "Usage: TamrixInstall [COMPANY | COMPANY.ini | ADDRESS:PORT | tcp] [options]\n"
         "Without --headless the program opens its window, which needs a display.\n"
         "  --headless              test and install without a window; dialogs go to stdout\n"
         "  --company-code CODE     needs --headless: the answer to the company-code dialog\n"
         "  --xserver HOST          XServer host of the configuration tab\n"
         "  --xserver-port N        its port\n"
         "  --web-server HOST       Web Server host of the configuration tab\n"
         "  --web-port N            its port\n"
         "  --tls                   TLS on the direct connections to the data servers\n"
         "                          (the directory and the XServer; not the HTTP test)\n"
         "  --tls-ca FILE           trust the certificates in FILE (PEM) instead of the\n"
         "                          system's trust store; implies --tls\n"
         "  -h, --help              this text\n"
         "A port is a number from 1 to 65535 (also the PORT of ADDRESS:PORT).\n"
         "The window also takes Qt's own options (-platform NAME, -style NAME, ...).\n"
         "Exit status: 0 installed, 1 not installed, 2 a command line or setting that does\n"
         "not read, or a window without a display.\n"
         "Deployment settings: TamrixDeploy.ini beside the program, section [Deployment],\n"
         "or the variables TAMRIX_DEMO_HOST, TAMRIX_DEMO_PORT, TAMRIX_DIRECTORY_HOST,\n"
         "TAMRIX_DIRECTORY_PORT, TAMRIX_MODULE_FTP_HOST, TAMRIX_MODULE_FTP_PORT,\n"
         "TAMRIX_WEB_PORT, TAMRIX_TLS (1/0, true/false, yes/no), TAMRIX_TLS_CA; the\n"
         "options above win over them.\n";
}

std::string TInstallCommandLine::ProgramFolder() const {
  const size_t slash = ProgramPath.rfind('/');
  return slash == std::string::npos ? std::string("./") : ProgramPath.substr(0, slash + 1);
}

std::string TInstallCommandLine::ProgramFileName() const {
  const size_t slash = ProgramPath.rfind('/');
  return slash == std::string::npos ? ProgramPath : ProgramPath.substr(slash + 1);
}

std::string TInstallCommandLine::OwnIniFile() const {
  const std::string name = ProgramFileName();
  const size_t dot = name.rfind('.');
  return ProgramFolder() + (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) +
         ".ini";
}

std::string AbsoluteProgramPath(const std::string& argv0, const std::string& runningExe) {
  if (!argv0.empty() && argv0.front() == '/') return argv0;
  if (argv0.find('/') != std::string::npos) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr) return std::string(buf) + "/" + argv0;
    return argv0;
  }
  // Started through PATH: the first folder that holds the name, as the shell found it.
  if (const char* path = std::getenv("PATH")) {
    std::string p = path;
    size_t start = 0;
    while (start <= p.size()) {
      size_t end = p.find(':', start);
      if (end == std::string::npos) end = p.size();
      const std::string dir = p.substr(start, end - start);
      if (!dir.empty()) {
        const std::string candidate = dir + "/" + argv0;
        if (access(candidate.c_str(), X_OK) == 0) return AbsoluteProgramPath(candidate, runningExe);
      }
      start = end + 1;
    }
  }
  const size_t slash = runningExe.rfind('/');
  return (slash == std::string::npos ? std::string() : runningExe.substr(0, slash + 1)) + argv0;
}

}  // namespace rda
