#include "install/InstallSettings.h"

#include <unistd.h>

#include <cstdlib>

#include "base/Exception.h"
#include "install/FileUtil.h"
#include "install/IniFile.h"

namespace rda {

namespace {

// A port number 1..65535 in plain decimal, or nullopt.
std::optional<int> PortValue(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

int ParsePort(const std::string& key, const std::string& text) {
  const auto port = PortValue(text);
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

// The setting's fields and their names, once for the file and the environment.
template <typename F>
void ForEachSetting(TInstallSettings& s, F&& f) {
  f("DemoHost", "TAMRIX_DEMO_HOST", &s.DemoHost, nullptr);
  f("DemoPort", "TAMRIX_DEMO_PORT", nullptr, &s.DemoPort);
  f("DirectoryHost", "TAMRIX_DIRECTORY_HOST", &s.DirectoryHost, nullptr);
  f("DirectoryPort", "TAMRIX_DIRECTORY_PORT", nullptr, &s.DirectoryPort);
  f("ModuleFtpHost", "TAMRIX_MODULE_FTP_HOST", &s.ModuleFtpHost, nullptr);
  f("ModuleFtpPort", "TAMRIX_MODULE_FTP_PORT", nullptr, &s.ModuleFtpPort);
  f("WebServerPort", "TAMRIX_WEB_PORT", nullptr, &s.WebServerPort);
}

void Apply(const std::string& key, const std::string& value, std::string* host, int* port) {
  if (host != nullptr) *host = CheckHost(key, value);
  if (port != nullptr) *port = ParsePort(key, value);
}

}  // namespace

TInstallSettings TInstallSettings::Load(const std::string& folder) {
  TInstallSettings s;
  const std::string file = FindFileIgnoringCase(folder, kFileName);
  if (FileExists(file)) {
    const TIniFile ini(file);
    ForEachSetting(s, [&](const char* key, const char*, std::string* host, int* port) {
      if (ini.ValueExists(kSection, key)) Apply(key, ini.ReadString(kSection, key, ""), host, port);
    });
  }
  return FromEnvironment(std::move(s));
}

TInstallSettings TInstallSettings::FromEnvironment(TInstallSettings base) {
  ForEachSetting(base, [&](const char*, const char* env, std::string* host, int* port) {
    if (const char* value = std::getenv(env)) Apply(env, value, host, port);
  });
  return base;
}

TInstallCommandLine TInstallCommandLine::Parse(const std::string& programPath,
                                               const std::vector<std::string>& args) {
  TInstallCommandLine c;
  c.ProgramPath = programPath;
  bool haveFirst = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
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
      const auto n = PortValue(v);
      if (!n) throw Exception("Option " + a + ": invalid port " + v);
      return *n;
    };
    if (a == "--headless") {
      c.Headless = true;
    } else if (a == "--help") {
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
    } else {
      throw Exception("Unknown option " + a);
    }
  }
  return c;
}

const char* TInstallCommandLine::Usage() {
  return "Usage: TamrixInstall [COMPANY | COMPANY.ini | ADDRESS:PORT | tcp] [options]\n"
         "  --headless              test and install without a window; dialogs go to stdout\n"
         "  --company-code CODE     the answer to the company-code dialog\n"
         "  --xserver HOST          XServer host of the configuration tab\n"
         "  --xserver-port N        its port\n"
         "  --web-server HOST       Web Server host of the configuration tab\n"
         "  --web-port N            its port\n"
         "  --help                  this text\n"
         "Deployment settings: TamrixDeploy.ini beside the program, section [Deployment],\n"
         "or the variables TAMRIX_DEMO_HOST, TAMRIX_DEMO_PORT, TAMRIX_DIRECTORY_HOST,\n"
         "TAMRIX_DIRECTORY_PORT, TAMRIX_MODULE_FTP_HOST, TAMRIX_MODULE_FTP_PORT,\n"
         "TAMRIX_WEB_PORT.\n";
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
