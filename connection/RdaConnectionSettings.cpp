#include "connection/RdaConnectionSettings.h"

namespace rda {

void TakeSharedSettings(const TRdaConnectionSettings& source, TRdaConnectionSettings& copy) {
  TRdaConnectionSettings taken = source;
  taken.Service = std::move(copy.Service);
  taken.ClientType = copy.ClientType;
  taken.ConnectAction = copy.ConnectAction;
  taken.AutoLoginDlg = copy.AutoLoginDlg;
  taken.LoginMaxAttempts = copy.LoginMaxAttempts;
  taken.ApplicationName = std::move(copy.ApplicationName);
  taken.ApplicationVersion = std::move(copy.ApplicationVersion);
  taken.PatchFile = std::move(copy.PatchFile);
  taken.KeepAlivePing = copy.KeepAlivePing;
  taken.CursorOnQueries = copy.CursorOnQueries;
  taken.BlockingTimeout = copy.BlockingTimeout;
  taken.WriteChunkSize = copy.WriteChunkSize;
  taken.SQLDialect = copy.SQLDialect;
  taken.SQLTransactionStart = std::move(copy.SQLTransactionStart);
  taken.SQLTransactionEnd = std::move(copy.SQLTransactionEnd);
  taken.CacheMetaDataOptions = copy.CacheMetaDataOptions;
  taken.CacheMetaDataFileName = std::move(copy.CacheMetaDataFileName);
  taken.DTUserName = std::move(copy.DTUserName);
  taken.DTPassword = std::move(copy.DTPassword);
  taken.UserKey = std::move(copy.UserKey);
  taken.About = std::move(copy.About);
  copy = std::move(taken);
}

}  // namespace rda
