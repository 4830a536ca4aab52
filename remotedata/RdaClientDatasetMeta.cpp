// The client datasets' requests besides SQL: metadata (token 23), provider
// datasets and server methods (token 23 with the request codes 111 and 112),
// stored procedures (token 27), the parameters fetched for them, output
// parameters and the key fields of a provider.
#include <algorithm>

#include "base/Exception.h"
#include "base/ScopeGuard.h"
#include "base/Text.h"
#include "memdata/RdaParamBridge.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "remotedata/RdaClientDataset.h"

namespace rda {

namespace {

constexpr char kServerParamsEntry[] = "FServerparamsDataSet";
constexpr char kParamLineSeparator = '\x06';

bool IsOutput(const TRdaParamItem& item) {
  return item.ParamType() == ptOutput || item.ParamType() == ptInputOutput ||
         item.ParamType() == ptResult;
}

// Sets the item of that name, or appends one of `type`.
void SetOrAdd(TRdaParamList& params, const std::string& name, TFieldType type, int32_t value) {
  TRdaParamItem* item = params.FindParam(name);
  if (item == nullptr) item = &params.CreateParam(type, name, ptInput);
  if (item->DataType() == ftSmallint) {
    item->SetAsSmallint(value);
  } else {
    item->SetAsInteger(value);
  }
}

// The first column of every row.
std::vector<std::string> FirstColumn(TDataSet& ds) {
  std::vector<std::string> values;
  if (ds.FieldCount() == 0) return values;
  for (ds.First(); !ds.Eof(); ds.Next()) values.push_back(ds.Fields()[0].AsString());
  return values;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Setters

bool TRdaBaseClientDataSet::SqlEmpty() const {
  return std::all_of(sql_.begin(), sql_.end(),
                     [](const std::string& line) { return TrimBlanks(line).empty(); });
}

bool TRdaBaseClientDataSet::HasCache() const {
  return connection_ != nullptr && connection_->MetaDataCached();
}

void TRdaBaseClientDataSet::SetMetaDataRequest(TRdaMetaData value) {
  metaDataRequest_ = value;
  Close();
  sql_ = {std::string()};
}

void TRdaBaseClientDataSet::SetStoredProcedure(std::string value) {
  if (!value.empty()) {
    sql_.clear();
    tableName_.clear();
    serverDataSet_.clear();
    serverMethod_.clear();
    params_.Clear();
    if (Usable(connection_)) {
      std::unique_ptr<TRdaBaseClientDataSet> answer = OpenMetaData(mdStoredProcColumns, value);
      ParamsFromAnswer(*answer);
    }
  }
  storedProcedure_ = std::move(value);
}

void TRdaBaseClientDataSet::SetServerDataSet(std::string value) { serverDataSet_ = std::move(value); }

void TRdaBaseClientDataSet::SetProviderName(std::string value) {
  providerName_ = std::move(value);
  if (connection_ == nullptr || !SqlEmpty() || !tableName_.empty() || !serverMethod_.empty()) return;
  if (providerName_.empty()) {
    serverDataSet_.clear();
    SetMetaDataRequest(mdNormalQuery);
    return;
  }
  if (HasCache()) {
    if (!ParamsFromCache(providerName_, false)) throw Exception(providerName_ + " not found");
    SetMetaDataRequest(mdCustomDataSets);
    return;
  }
  SetMetaDataRequest(mdNormalQuery);
  params_.Clear();
  serverDataSet_.clear();
  std::string named;
  {
    std::unique_ptr<TRdaBaseClientDataSet> providers = OpenMetaData(mdProviders, providerName_);
    if (!providers->IsEmpty() && providers->FieldCount() >= 2)
      named = providers->Fields()[0].AsString() + "." + providers->Fields()[1].AsString();
  }
  std::unique_ptr<TRdaBaseClientDataSet> answer = OpenMetaData(mdProviderParams, providerName_);
  ParamsFromAnswer(*answer);
  if (!named.empty()) {
    SetMetaDataRequest(mdCustomDataSets);
    serverDataSet_ = named;
  }
}

void TRdaBaseClientDataSet::SetServerMethod(std::string value) {
  const bool blocking = connection_ != nullptr && connection_->ClientType() == ctBlocking;
  if (blocking || metaDataRequest_ == mdBusObjectParams || value.empty() || value == serverMethod_) {
    serverMethod_ = std::move(value);
    return;
  }
  SetMetaDataRequest(mdBusinessObjects);
  serverMethod_ = std::move(value);
  if (HasCache()) {
    if (!ParamsFromCache(serverMethod_, true)) {
      const std::string name = std::exchange(serverMethod_, std::string());
      throw Exception(name + " not found");
    }
    return;
  }
  if (!Usable(connection_)) return;
  std::unique_ptr<TRdaBaseClientDataSet> answer = OpenMetaData(mdBusObjectParams, serverMethod_);
  if (answer->FieldCount() > 0 && answer->Fields()[0].FieldName() == kUnknownMethodField) {
    const std::string name = std::exchange(serverMethod_, std::string());
    throw Exception(name + " not found");
  }
  ParamsFromAnswer(*answer);
}

// ---------------------------------------------------------------------------------------
// Parameters

std::unique_ptr<TRdaBaseClientDataSet> TRdaBaseClientDataSet::OpenMetaData(TRdaMetaData request,
                                                                            const std::string& name) {
  auto answer = std::make_unique<TRdaClientDataSet>();
  answer->SetRdaClientSocket(connection_);
  answer->SetDataBase(dataBase_);
  answer->SetMetaDataRequest(request);
  // Stored as the request reads them, without the setters' own requests.
  switch (request) {
    case mdBusObjectParams:
    case mdProviderPrimeFieldsFromBizObject:
      answer->serverMethod_ = name;
      break;
    case mdProviderParams:
    case mdProviderPrimeFields:
      answer->providerName_ = name;
      break;
    case mdProviders:
      answer->providerName_ = name;
      break;
    default:
      answer->tableName_ = name;
      break;
  }
  answer->Open();
  return answer;
}

void TRdaBaseClientDataSet::ParamsFromAnswer(TRdaBaseClientDataSet& answer) {
  std::vector<std::string> lines;
  if (answer.FieldCount() >= 3) {
    for (answer.First(); !answer.Eof(); answer.Next()) {
      std::string line;
      for (int i = 0; i < 3; ++i) line += answer.Fields()[i].AsString() + kParamLineSeparator;
      lines.push_back(std::move(line));
    }
  }
  params_.ParamsFromDesignList(&lines);
}

bool TRdaBaseClientDataSet::ParamsFromCache(const std::string& name, bool methodPrefix) {
  TRdaDataSet& entries = connection_->GetCachedMetaData(kServerParamsEntry);
  TField& names = entries.FieldByName("Name");
  bool found = false;
  for (entries.First(); !entries.Eof(); entries.Next()) {
    if ((found = SameTextAscii(names.AsString(), name))) break;
  }
  if (!found && methodPrefix) {
    // A method the cache holds only under its module: "module.method".
    for (entries.First(); !entries.Eof(); entries.Next()) {
      const std::string full = names.AsString();
      const size_t dot = full.find('.');
      if ((found = dot != std::string::npos && SameTextAscii(std::string_view(full).substr(dot + 1), name))) {
        serverMethod_ = full;
        break;
      }
    }
  }
  if (!found) return false;
  if (!methodPrefix) serverDataSet_ = entries.FieldByName("ServerDataSet").AsString();
  if (std::unique_ptr<TRdaDataSet> data = TextToDataSet(entries.FieldByName("Data").AsString())) {
    ParamsFromDataSet(params_, *data);
  } else {
    params_.Clear();
  }
  if (TField* keys = entries.FindField("PrimeFields")) {
    if (std::unique_ptr<TRdaDataSet> prime = TextToDataSet(keys->AsString())) TakePrimeFields(FirstColumn(*prime));
  }
  return true;
}

void TRdaUpdateClientDataSet::RetrievePrimeKeyFields() {
  if (HasCache() && !ProviderName().empty()) {
    if (!ParamsFromCache(ProviderName(), false)) throw Exception(ProviderName() + " not found");
    return;
  }
  if (ServerMethod().empty() && ProviderName().empty()) throw Exception("Provider Name required!");
  std::unique_ptr<TRdaBaseClientDataSet> answer =
      !ServerMethod().empty() ? OpenMetaData(mdProviderPrimeFieldsFromBizObject, ServerMethod())
                              : OpenMetaData(mdProviderPrimeFields, ProviderName());
  SetPrimeFields(FirstColumn(*answer));
}

bool TRdaBaseClientDataSet::ExpectsOutputParams() const {
  if (serverMethod_.empty() || !storedProcedure_.empty() || metaDataRequest_ == mdStoredProcColumns ||
      metaDataRequest_ == mdBusObjectParams)
    return false;
  for (int i = 0; i < params_.Count(); ++i)
    if (IsOutput(params_.Items(i))) return true;
  return false;
}

void TRdaBaseClientDataSet::ReceiveOutputParams(TRdaClientSocket& /*connection*/, TRdaParamList& params) {
  awaitingOutputs_ = false;
  for (int i = 0; i < params.Count(); ++i) {
    const TRdaParamItem& item = params.Items(i);
    if (TRdaParamItem* own = params_.FindParam(item.Name())) {
      own->Assign(item);
    } else {
      params_.Add().Assign(item);
    }
  }
  if (OnReceiveParams) OnReceiveParams(*this);
}

// ---------------------------------------------------------------------------------------
// Requests

std::string TRdaBaseClientDataSet::MetaExchange(TRdaClientSocket& connection, TRdaStringLine& line,
                                                bool callerTakes) {
  if (connection.ClientType() == ctBlocking) return Exchange(connection, line, true);
  connection.SetReplyIsError(false);
  connection.SetRaiseSqlImmediately(true);
  connection.SetCallerTakesErrors(callerTakes);
  TScopeGuard clear([&connection] { connection.SetRaiseSqlImmediately(false); });
  if (sqlOptions_.Contains(soNoWait)) {
    connection.SendMessage(line, false);
    return {};
  }
  connection.SendMessage(line, true);
  return connection.TakeServerError();
}

std::string TRdaBaseClientDataSet::MetaDataRequestStep(TRdaClientSocket& connection) {
  TRdaStringLine line;
  line.SetToken(tkMetaData);
  line.SetMsgId(connection.ComponentId(this));
  int32_t code = metaDataRequest_ + kMetaDataRequestOffset;
  // The dataset's own Params stay as they are: the request carries a copy with
  // what the server needs added.
  std::unique_ptr<TRdaParamList> sent = params_.Clone();
  std::string a = tableName_;
  std::string b;
  if (!serverDataSet_.empty()) {
    code = mrCustomDataSets;
    int action = 0;
    if (OnCustomServerAction) OnCustomServerAction(*this, action);
    SetOrAdd(*sent, "ServerActionInt", ftInteger, action);
    SetOrAdd(*sent, "RdaPacketRecords", ftInteger, rowsToReturn_);
    SetOrAdd(*sent, "RdaSQLOptions", ftInteger, static_cast<int32_t>(OptionsValue(connection, {})));
    TRdaParamItem* provider = sent->FindParam("Provider");
    if (provider == nullptr) provider = &sent->CreateParam(ftString, "Provider", ptInput);
    provider->SetAsString(providerName_);
    SetOrAdd(*sent, "Proxy", ftSmallint, 0);
    a = serverDataSet_;
    b = sent->ToText(true);
  } else if (metaDataRequest_ == mdBusinessObjects && !serverMethod_.empty()) {
    code = mrBusinessObjects;
    sent->Add().SetAsInteger(rowsToReturn_);
    sent->Add().SetAsInteger(static_cast<int32_t>(OptionsValue(connection, {})));
    a = serverMethod_;
    b = sent->ToText(true);
  } else if (metaDataRequest_ == mdProviders && !providerName_.empty()) {
    b = providerName_;
  } else if (metaDataRequest_ == mdBusObjectParams || metaDataRequest_ == mdProviderPrimeFieldsFromBizObject) {
    a = serverMethod_;
  } else if (metaDataRequest_ == mdProviderParams || metaDataRequest_ == mdProviderPrimeFields) {
    a = providerName_;
  } else if (metaDataRequest_ == mdStatelessUserList) {
    b = params_.ToText(false);
  }
  line.AddField(a);
  line.AddField(b);
  line.AddField(GetDataBase());
  line.AddField(code);
  descriptionsOnly_ = false;
  cursorHandle_ = 0;
  const bool callerTakes = code == mrCustomDataSets || code == mrBusinessObjects;
  awaitingOutputs_ = code == mrBusinessObjects && ExpectsOutputParams();
  TScopeGuard over([this] { awaitingOutputs_ = false; });
  std::string error = MetaExchange(connection, line, callerTakes);
  if (!error.empty()) {
    // Nothing of an earlier answer may describe this one.
    SetFastFields({});
    FieldDefs().Clear();
    Indexes().Clear();
    if (Store() != nullptr && !Active()) DiscardStore();
  }
  return error;
}

std::string TRdaBaseClientDataSet::StoredProcedureStep(TRdaClientSocket& connection) {
  TRdaStringLine line;
  line.SetToken(tkStoredProc);
  line.SetMsgId(connection.ComponentId(this));
  line.AddField(storedProcedure_);
  line.AddField(params_.ToText(false));
  line.AddField(GetDataBase());
  line.AddField(int32_t{rowsToReturn_});
  line.AddField(static_cast<int32_t>(OptionsValue(connection, {})));
  descriptionsOnly_ = rowsToReturn_ == 0;
  cursorHandle_ = 0;
  // A procedure's open always waits for its result.
  const TRdaSelectSQLOptionSet options = sqlOptions_;
  sqlOptions_.Exclude(soNoWait);
  TScopeGuard restore([this, options] { sqlOptions_ = options; });
  return Exchange(connection, line, true);
}

}  // namespace rda
