// rdaquery: runs SQL through a data server and prints the result as an aligned
// table or as CSV. `rdaquery --help` lists the options; docs/rdaquery.md has
// examples.
//
// Exit status: 0 done; 1 the server refused the statement or the connection
// failed (the message goes to standard error); 2 a bad command line.
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <algorithm>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaUserInterface.h"
#include "remotedata/RdaClientDataset.h"

namespace {

using rda::TField;
using rda::TFieldType;

constexpr char kHelp[] = R"HELP(Usage: rdaquery [options] SQL...
       rdaquery --load FILE [output options]

Runs SQL through an Rda data server (rdaserver or any server of the protocol)
and prints the result. The words of SQL are joined with blanks; with --file
the statement comes from a file instead. With --load it prints a dataset file
instead, without a server.

Connection:
  --host H               server address or host name (default 127.0.0.1)
  --port P               server port (default 9406)
  --http HOST:PORT       tunnel over HTTP through the web server HOST:PORT (or
                         rdaserver's own --http-port); --host and --port then
                         name the data server as the web server reaches it
  --path EXT             path of the tunnelling extension on the web server
                         (default isapi/RdaHttp.dll)
  --tls                  run the direct connection inside TLS (1.2 or later):
                         the server's certificate must come from a trusted
                         issuer and name --host (not with --http)
  --tls-ca FILE          trust the certificates in FILE (PEM) instead of the
                         system's trust store; implies --tls
  --encryption MODE      none (default), rda (the +4 cipher) or des
  --key K                DES key text (with --encryption des)
  --zlib                 compress whole messages with zlib
  --user U --password P  log in with these credentials
  --timeout MS           longest wait for a reply without data (default 60000)

Statement:
  --database NAME        database or alias name sent with the request
  --param NAME=VALUE     a parameter :NAME of the statement, as text; the form
                         NAME:TYPE=VALUE chooses the type: string, int,
                         largeint, float, bool (true/false) or null (no value)
  --packet N             fetch the result in packets of N rows
  --file FILE            read the statement from FILE ("-" for standard input)
  --save FILE            write the whole result (every packet) to FILE as a
                         dataset file instead of printing it; an existing FILE
                         is replaced only once the new one is complete

Metadata (instead of SQL; the server's catalogue as a result, like psql's \dt
and \d):
  --tables               the tables
  --views                the views
  --fields TABLE         the fields of TABLE with their field types
  --indexes TABLE        the indexes of TABLE, one row per indexed field
  --keys TABLE           the primary key of TABLE
  --foreign-keys TABLE   the foreign keys of TABLE
  --procedures           the stored procedures
  --methods              the server methods
  --providers            the providers
  --users                the users logged in now

Dataset files:
  --load FILE            print a dataset file (written by --save or by any
                         dataset's SaveToFile) as a table or CSV; no server

Output:
  --csv                  comma-separated values (RFC 4180) instead of a table;
                         NULL is an empty field, an empty text is ""
  --null TEXT            how a table shows NULL (default "(null)")
  --max-width N          widest table column in characters, longer values are
                         cut with "..." (default 64; 0 for no limit)
  --sort FIELDS          show the rows in the order of these fields (names
                         separated by ";"), sorted on the client by an index
                         over the fetched rows; nulls come first, equal keys
                         keep the server's order (with --save: the file keeps
                         the index, selected)
  --sort-options OPTS    with --sort: descending, case-insensitive, or both
                         separated by a comma
  --filter EXPR          show only the rows that pass the filter expression
                         (docs/datasets.md has the language), tested on the
                         client over every fetched row: Amount > 100 and
                         Name like 'A%'
  --filter-options OPTS  with --filter: case-insensitive (=, <> and LIKE on
                         texts ignore letter case), no-partial (a text ending
                         in * is compared as it is), or both separated by a
                         comma
  --time                 also print the time to connect, to the first row and
                         to the last row (to standard error with --csv)
  --help                 this text

Texts travel in the server's code page (Windows-1252) and are shown as UTF-8.
Binary values show as 0x and their bytes in hexadecimal.

Exit status: 0 done, 1 the server refused the statement or the connection
failed (the message goes to standard error), 2 a bad command line.
)HELP";

// The extension path of rdaserver's tunnelling endpoint.
constexpr char kDefaultPath[] = "isapi/RdaHttp.dll";

struct Options {
  std::string host = "127.0.0.1";
  int port = 9406;
  std::string http;
  std::string httpHost;
  int httpPort = 0;
  std::string path;
  bool tls = false;
  std::string tlsCa;  // empty: the system's trust store
  rda::TRdaEncryption encryption = rda::etNoEncryption;
  std::string key;
  bool zlib = false;
  std::string user;
  std::optional<std::string> password;
  int timeout = 60000;
  std::string database;
  std::vector<std::string> params;
  int packet = -1;
  std::string file;
  bool csv = false;
  std::string nullText = "(null)";
  size_t maxWidth = 64;
  bool time = false;
  std::string sort;
  bool sortDescending = false;
  bool sortCaseInsensitive = false;
  bool sortOptionsGiven = false;
  std::string filter;
  bool filterCaseInsensitive = false;
  bool filterNoPartial = false;
  bool filterOptionsGiven = false;
  std::string sql;
  std::string save;
  std::string load;
  // A metadata request instead of SQL, and the table it names.
  rda::TRdaMetaData meta = rda::mdNormalQuery;
  std::string metaTable;
};

// The metadata options: without a table, and with one.
struct MetaOption {
  const char* option;
  rda::TRdaMetaData request;
  bool table;
};
constexpr MetaOption kMetaOptions[] = {
    {"--tables", rda::mdTables, false},          {"--views", rda::mdViews, false},
    {"--fields", rda::mdFields, true},           {"--indexes", rda::mdIndexes, true},
    {"--keys", rda::mdPrimeKeys, true},          {"--foreign-keys", rda::mdForeignKeys, true},
    {"--procedures", rda::mdStoredProcs, false}, {"--methods", rda::mdAliasedBizObjectMethods, false},
    {"--providers", rda::mdServerDataSets, false}, {"--users", rda::mdUserList, false},
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int ParseCount(const std::string& option, const std::string& text, int low) {
  const std::optional<int32_t> value = rda::TryStrToInt(text);
  if (!value || *value < low) throw UsageError(option + " needs a number of at least " + std::to_string(low) + ", not '" + text + "'");
  return *value;
}

Options ParseCommandLine(const std::vector<std::string>& args, bool& help) {
  Options o;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      help = true;
      return o;
    } else if (a == "--host") {
      o.host = value();
    } else if (a == "--port") {
      o.port = ParseCount(a, value(), 1);
      if (o.port > 65535) throw UsageError("--port needs a port number up to 65535");
    } else if (a == "--http") {
      o.http = value();
      const size_t colon = o.http.rfind(':');
      const std::optional<int32_t> port =
          colon == std::string::npos ? std::nullopt : rda::TryStrToInt(o.http.substr(colon + 1));
      if (colon == 0 || !port || *port < 1 || *port > 65535) throw UsageError("--http needs HOST:PORT, not '" + o.http + "'");
      o.httpHost = o.http.substr(0, colon);
      o.httpPort = *port;
    } else if (a == "--path") {
      o.path = value();
    } else if (a == "--tls") {
      o.tls = true;
    } else if (a == "--tls-ca") {
      o.tlsCa = value();
      if (o.tlsCa.empty()) throw UsageError("--tls-ca needs a file name");
      o.tls = true;
    } else if (a == "--encryption") {
      const std::string& mode = value();
      if (mode == "none") {
        o.encryption = rda::etNoEncryption;
      } else if (mode == "rda") {
        o.encryption = rda::etRdaEncrypt;
      } else if (mode == "des") {
        o.encryption = rda::etDESEncrypt;
      } else {
        throw UsageError("--encryption is none, rda or des, not '" + mode + "'");
      }
    } else if (a == "--key") {
      o.key = value();
    } else if (a == "--zlib") {
      o.zlib = true;
    } else if (a == "--user") {
      o.user = value();
    } else if (a == "--password") {
      o.password = value();
    } else if (a == "--timeout") {
      o.timeout = ParseCount(a, value(), 0);
    } else if (a == "--database") {
      o.database = value();
    } else if (a == "--param") {
      const std::string& p = value();
      if (p.find('=') == std::string::npos) throw UsageError("--param needs NAME=VALUE, not '" + p + "'");
      o.params.push_back(p);
    } else if (a == "--packet") {
      o.packet = ParseCount(a, value(), 1);
    } else if (a == "--file") {
      o.file = value();
    } else if (a == "--csv") {
      o.csv = true;
    } else if (a == "--null") {
      o.nullText = value();
    } else if (a == "--max-width") {
      o.maxWidth = static_cast<size_t>(ParseCount(a, value(), 0));
    } else if (a == "--time") {
      o.time = true;
    } else if (a == "--save") {
      o.save = value();
    } else if (a == "--load") {
      o.load = value();
    } else if (a == "--sort") {
      o.sort = value();
      if (o.sort.find_first_not_of(" ;") == std::string::npos) throw UsageError("--sort needs field names");
    } else if (a == "--sort-options") {
      o.sortOptionsGiven = true;
      std::string_view list = value();
      while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view option = list.substr(0, comma);
        if (option == "descending") {
          o.sortDescending = true;
        } else if (option == "case-insensitive") {
          o.sortCaseInsensitive = true;
        } else {
          throw UsageError("--sort-options takes descending and case-insensitive, not '" + std::string(option) + "'");
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else if (const MetaOption* m = std::find_if(std::begin(kMetaOptions), std::end(kMetaOptions),
                                                  [&a](const MetaOption& mo) { return a == mo.option; });
               m != std::end(kMetaOptions)) {
      if (o.meta != rda::mdNormalQuery) throw UsageError("give one metadata option");
      o.meta = m->request;
      if (m->table) {
        o.metaTable = value();
        if (o.metaTable.empty()) throw UsageError(a + " needs a table name");
      }
    } else if (a == "--filter") {
      o.filter = value();
      if (o.filter.find_first_not_of(" \t\r\n") == std::string::npos) throw UsageError("--filter needs an expression");
    } else if (a == "--filter-options") {
      o.filterOptionsGiven = true;
      std::string_view list = value();
      while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view option = list.substr(0, comma);
        if (option == "case-insensitive") {
          o.filterCaseInsensitive = true;
        } else if (option == "no-partial") {
          o.filterNoPartial = true;
        } else {
          throw UsageError("--filter-options takes case-insensitive and no-partial, not '" + std::string(option) + "'");
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else if (a == "--") {
      words.insert(words.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      words.push_back(a);
    }
  }
  if (o.encryption == rda::etDESEncrypt && o.key.empty()) throw UsageError("--encryption des needs --key");
  if (!o.user.empty() && !o.password) throw UsageError("--user needs --password");
  if (!o.path.empty() && o.http.empty()) throw UsageError("--path needs --http");
  if (o.tls && !o.http.empty())
    throw UsageError("--tls and --tls-ca are for the direct connection, not --http (the tunnel is plain HTTP)");
  if (o.sortOptionsGiven && o.sort.empty()) throw UsageError("--sort-options needs --sort");
  if (o.filterOptionsGiven && o.filter.empty()) throw UsageError("--filter-options needs --filter");
  if (!o.filter.empty() && !o.save.empty()) throw UsageError("--filter and --save do not go together");
  if (!o.load.empty()) {
    if (!words.empty() || !o.file.empty()) throw UsageError("--load takes no statement");
    if (!o.save.empty()) throw UsageError("--load and --save do not go together");
    return o;
  }
  if (o.meta != rda::mdNormalQuery) {
    if (!words.empty() || !o.file.empty()) throw UsageError("a metadata option takes no statement");
    if (!o.params.empty()) throw UsageError("a metadata option takes no --param");
    return o;
  }
  if (!o.file.empty() && !words.empty()) throw UsageError("give the statement either as words or with --file");
  if (!o.file.empty()) {
    std::ostringstream text;
    if (o.file == "-") {
      text << std::cin.rdbuf();
    } else {
      std::ifstream in(o.file, std::ios::binary);
      if (!in) throw UsageError("cannot read " + o.file);
      text << in.rdbuf();
    }
    o.sql = text.str();
  } else {
    for (const std::string& w : words) o.sql += (o.sql.empty() ? "" : " ") + w;
  }
  if (o.sql.find_first_not_of(" \t\r\n") == std::string::npos) throw UsageError("no SQL given");
  return o;
}

// A --param NAME[:TYPE]=VALUE into the dataset's parameters.
void SetParam(rda::TRdaParamList& params, const std::string& spec) {
  const size_t eq = spec.find('=');
  std::string name = spec.substr(0, eq);
  const std::string value = rda::Utf8ToCp1252(spec.substr(eq + 1));
  std::string type = "string";
  if (const size_t colon = name.find(':'); colon != std::string::npos) {
    type = name.substr(colon + 1);
    name.resize(colon);
  }
  rda::TRdaParamItem* item = params.FindParam(name);
  if (item == nullptr) throw UsageError("the statement has no parameter :" + name);
  if (type == "string") {
    item->SetAsString(value);
    item->SetIsNull(false);  // an empty text is a value here
  } else if (type == "int") {
    const auto v = rda::TryStrToInt(value);
    if (!v) throw UsageError("--param " + name + ": '" + value + "' is no 32-bit integer");
    item->SetAsInteger(*v);
  } else if (type == "largeint") {
    const auto v = rda::TryStrToInt64(value);
    if (!v) throw UsageError("--param " + name + ": '" + value + "' is no 64-bit integer");
    item->SetAsLargeint(*v);
  } else if (type == "float") {
    const auto v = rda::TryStrToFloat(value);
    if (!v) throw UsageError("--param " + name + ": '" + value + "' is no number");
    item->SetAsFloat(*v);
  } else if (type == "bool") {
    if (value != "true" && value != "false") throw UsageError("--param " + name + ": bool is true or false");
    item->SetAsBoolean(value == "true");
  } else if (type == "null") {
    item->SetDataType(rda::ftString);
    item->SetIsNull(true);
  } else {
    throw UsageError("--param " + name + ": unknown type '" + type + "'");
  }
}

bool IsBinary(TFieldType t) {
  return t == rda::ftBytes || t == rda::ftVarBytes || t == rda::ftBlob || t == rda::ftGraphic ||
         t == rda::ftTypedBinary || t == rda::ftOraBlob || t == rda::ftDataSet;
}

bool IsNumeric(TFieldType t) {
  switch (t) {
    case rda::ftSmallint:
    case rda::ftInteger:
    case rda::ftWord:
    case rda::ftFloat:
    case rda::ftCurrency:
    case rda::ftBCD:
    case rda::ftAutoInc:
    case rda::ftLargeint:
    case rda::ftFMTBcd:
      return true;
    default:
      return false;
  }
}

// The value as UTF-8 text; nullopt for NULL.
std::optional<std::string> ValueText(rda::TRdaCustomDataSet& ds, TField& field) {
  if (field.IsNull()) return std::nullopt;
  const TFieldType type = field.DataType();
  if (IsBinary(type)) {
    const std::string bytes = field.IsBlob() ? ds.ReadBlobData(field) : field.AsString();
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (unsigned char c : bytes) {
      text.push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 15]);
    }
    return text;
  }
  if (field.IsBlob()) return rda::Cp1252ToUtf8(ds.ReadBlobData(field));
  if (auto* wide = dynamic_cast<rda::TWideStringField*>(&field)) return rda::Utf16ToUtf8(wide->AsWideString());
  return rda::Cp1252ToUtf8(field.AsString());
}

size_t CharCount(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

// For a table cell: control characters escaped, cut to the width.
std::string Cell(std::string text, size_t maxWidth) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += '?';
    } else {
      out += c;
    }
  }
  if (maxWidth > 3 && CharCount(out) > maxWidth) {
    size_t keep = 0;
    size_t chars = 0;
    while (keep < out.size() && chars < maxWidth - 3) {
      ++keep;
      while (keep < out.size() && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) ++keep;
      ++chars;
    }
    out = out.substr(0, keep) + "...";
  }
  return out;
}

std::string CsvField(const std::optional<std::string>& value) {
  if (!value) return {};
  if (!value->empty() && value->find_first_of(",\"\r\n") == std::string::npos) return *value;
  std::string out = "\"";
  for (char c : *value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Pad(const std::string& text, size_t width, bool right) {
  const size_t n = CharCount(text);
  const std::string fill(width > n ? width - n : 0, ' ');
  return right ? fill + text : text + fill;
}

std::string Milliseconds(std::chrono::steady_clock::duration d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f ms", std::chrono::duration<double, std::milli>(d).count());
  return buf;
}

// The dataset's name prefixes its errors; the messages here go without it.
std::string WithoutDataSetName(const rda::EDatabaseError& e) {
  std::string message = e.Message();
  if (message.rfind("rdaquery: ", 0) == 0) message.erase(0, 10);
  return message;
}

// Shows the rows through an index over the given fields (every packet is
// fetched first, so that the order covers the whole result). A field that is
// not in the result, or cannot be compared, is a bad command line.
void Sort(rda::TRdaCustomDataSet& ds, const Options& o) {
  rda::TRdaIndexOptions options;
  if (o.sortDescending) options.Include(rda::ioDescending);
  if (o.sortCaseInsensitive) options.Include(rda::ioCaseInsensitive);
  try {
    // A loaded file may hold the index of an earlier --sort: it takes the new order.
    rda::TRdaIndex& index = ds.Indexes().FindOrAdd("rdaquery");
    index.SetFields(rda::Utf8ToCp1252(o.sort));
    index.SetOptions(options);
    ds.SetIndexName("rdaquery");
  } catch (const rda::EDatabaseError& e) {
    throw UsageError("--sort: " + rda::Cp1252ToUtf8(WithoutDataSetName(e)));
  }
}

// Shows only the rows that pass the filter expression (over the whole
// result: every packet is fetched first). A filter that does not parse ends
// the run with status 1 and the parser's message, as does one that fails on
// a row while the rows are printed.
void Filter(rda::TRdaCustomDataSet& ds, const Options& o) {
  rda::TFilterOptions options;
  if (o.filterCaseInsensitive) options.Include(rda::foCaseInsensitive);
  if (o.filterNoPartial) options.Include(rda::foNoPartialCompare);
  try {
    ds.SetFilterOptions(options);
    ds.SetFilter(rda::Utf8ToCp1252(o.filter));
    ds.SetFiltered(true);
  } catch (const rda::EDatabaseError& e) {
    throw std::runtime_error(WithoutDataSetName(e));
  }
}

// Prints the dataset's rows as a table or CSV; returns the number of rows.
long Print(rda::TRdaCustomDataSet& ds, const Options& o) {
  std::vector<TField*> fields;
  for (const auto& f : ds.Fields()) fields.push_back(f.get());
  std::ostream& out = std::cout;
  std::vector<std::vector<std::optional<std::string>>> rows;
  long count = 0;
  if (o.csv) {
    for (size_t i = 0; i < fields.size(); ++i)
      out << (i ? "," : "") << CsvField(rda::Cp1252ToUtf8(fields[i]->FieldName()));
    out << "\r\n";
    for (ds.First(); !ds.Eof(); ds.Next(), ++count) {
      for (size_t i = 0; i < fields.size(); ++i) out << (i ? "," : "") << CsvField(ValueText(ds, *fields[i]));
      out << "\r\n";
    }
  } else {
    for (ds.First(); !ds.Eof(); ds.Next(), ++count) {
      std::vector<std::optional<std::string>>& row = rows.emplace_back();
      for (TField* f : fields) row.push_back(ValueText(ds, *f));
    }
  }
  if (!o.csv) {
    std::vector<std::string> names;
    std::vector<size_t> widths;
    for (TField* f : fields) {
      names.push_back(Cell(rda::Cp1252ToUtf8(f->FieldName()), o.maxWidth));
      widths.push_back(CharCount(names.back()));
    }
    std::vector<std::vector<std::string>> cells;
    for (const auto& row : rows) {
      std::vector<std::string>& line = cells.emplace_back();
      for (size_t i = 0; i < row.size(); ++i) {
        line.push_back(row[i] ? Cell(*row[i], o.maxWidth) : o.nullText);
        widths[i] = std::max(widths[i], CharCount(line.back()));
      }
    }
    std::string rule;
    // The last column is not padded on the right: no blanks end a line.
    const auto width = [&](size_t i, bool right) { return i + 1 < fields.size() || right ? widths[i] : 0; };
    for (size_t i = 0; i < fields.size(); ++i) {
      out << (i ? " | " : "") << Pad(names[i], width(i, false), false);
      rule += (i ? "-+-" : "") + std::string(widths[i], '-');
    }
    out << "\n" << rule << "\n";
    for (const auto& line : cells) {
      for (size_t i = 0; i < line.size(); ++i)
        out << (i ? " | " : "") << Pad(line[i], width(i, IsNumeric(fields[i]->DataType())),
                                      IsNumeric(fields[i]->DataType()));
      out << "\n";
    }
    out << "(" << count << (count == 1 ? " row)" : " rows)") << "\n";
  }
  out.flush();
  return count;
}

// --load: a dataset file, printed without a server.
int Load(const Options& o) {
  rda::TRdaDataSet ds;
  ds.SetName("rdaquery");
  ds.LoadFromFile(o.load);
  ds.SetReadOnly(true);
  if (!o.sort.empty()) Sort(ds, o);
  if (!o.filter.empty()) Filter(ds, o);
  Print(ds, o);
  return 0;
}

int Run(const Options& o) {
  using Clock = std::chrono::steady_clock;
  rda::TRdaHeadlessUserInterface ui(true);
  rda::TRdaClientSocket s;
  s.SetUserInterface(&ui);
  s.SetAddress(o.host);
  s.SetPort(o.port);
  s.SetUseTls(o.tls);
  s.SetTlsCaFile(o.tlsCa);
  s.SetEncryption(o.encryption);
  if (!o.key.empty()) {
    s.SetEncryptKeyIn(o.key);
    s.SetEncryptKeyOut(o.key);
  }
  if (o.zlib) s.SetCompression(rda::acRdaZLib);
  s.SetReplyTimeout(o.timeout);
  s.OnDisconnect = [] {};
  std::optional<bool> loginVerified;
  if (!o.user.empty()) {
    s.SetAutoLoginDlg(rda::ltLoginNoDlg);
    s.SetUserName(rda::Utf8ToCp1252(o.user));
    s.SetPassword(rda::Utf8ToCp1252(*o.password));
    s.OnLoginAttempt = [&](bool verified) { loginVerified = verified; };
  }
  if (!o.http.empty()) {
    // --host and --port name the data server as the web server reaches it.
    s.SetupWebTunnel(o.httpHost, o.host, o.path.empty() ? kDefaultPath : o.path,
                     static_cast<uint16_t>(o.httpPort), static_cast<uint16_t>(o.port));
    s.WebServer().SetAddCookie(true);  // a stateless session that logs in with each request
  }

  const Clock::time_point start = Clock::now();
  s.OpenAndWait();
  if (!s.Active()) {
    std::cerr << "rdaquery: could not connect to " << o.host << ":" << o.port << "\n";
    return 1;
  }
  if (loginVerified.has_value() && !*loginVerified) {
    std::cerr << "rdaquery: the server refused the login of " << o.user << "\n";
    return 1;
  }
  const Clock::time_point connected = Clock::now();

  rda::TRdaClientDataSet ds;
  ds.SetName("rdaquery");
  ds.SetRdaClientSocket(&s);
  ds.SetDataBase(rda::Utf8ToCp1252(o.database));
  ds.SetRowsToReturn(o.packet);
  ds.SetReadOnly(true);
  if (o.meta != rda::mdNormalQuery) {
    ds.SetMetaDataRequest(o.meta);
    ds.SetTableName(rda::Utf8ToCp1252(o.metaTable));
  } else {
    ds.SetSQLText(rda::Utf8ToCp1252(o.sql));
  }
  for (const std::string& p : o.params) SetParam(ds.Params(), p);
  ds.Open();
  const Clock::time_point firstRow = Clock::now();
  if (!o.sort.empty() || !o.save.empty() || !o.filter.empty()) {
    // The whole result: every packet.
    while (ds.CursorHandle() > 0 && ds.FetchNextPacket() > 0) {
    }
  }
  if (!o.sort.empty()) Sort(ds, o);
  if (!o.filter.empty()) Filter(ds, o);
  Clock::time_point lastRow;
  if (!o.save.empty()) {
    lastRow = Clock::now();
    ds.SaveToFile(o.save);
    const int count = ds.RecordCount();
    std::cout << "(" << count << (count == 1 ? " row" : " rows") << " saved to " << o.save << ")\n";
  } else {
    Print(ds, o);
    lastRow = Clock::now();
  }

  if (o.time) {
    std::ostream& t = o.csv ? std::cerr : std::cout;
    t << "connect: " << Milliseconds(connected - start) << "\n"
      << "first row: " << Milliseconds(firstRow - connected) << "\n"
      << "last row: " << Milliseconds(lastRow - connected) << "\n";
  }
  ds.Close();
  s.CloseAndWait();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  try {
    bool help = false;
    options = ParseCommandLine(args, help);
    if (help) {
      std::cout << kHelp;
      return 0;
    }
  } catch (const UsageError& e) {
    std::cerr << "rdaquery: " << e.what() << "\nTry rdaquery --help.\n";
    return 2;
  }
  try {
    return options.load.empty() ? Run(options) : Load(options);
  } catch (const UsageError& e) {
    std::cerr << "rdaquery: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "rdaquery: " << rda::Cp1252ToUtf8(e.what()) << "\n";
    return 1;
  }
}
