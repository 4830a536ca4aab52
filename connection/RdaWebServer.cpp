#include "connection/RdaWebServer.h"

#include "connection/RdaClientSocket.h"
#include "connection/RdaClientSocketPrivate.h"

namespace rda {

void TRdaWebServer::Assign(const TRdaWebServer& source) {
  if (&source == this) return;
  addCookie_ = source.addCookie_;
  winInet_ = source.winInet_;
  winInetToStatusBar_ = source.winInetToStatusBar_;
  useSSL_ = source.useSSL_;
  sslOptions_ = source.sslOptions_;
  webServerAddress_ = source.webServerAddress_;
  webServerPort_ = source.webServerPort_;
  rdaServerAddress_ = source.rdaServerAddress_;
  rdaServerPort_ = source.rdaServerPort_;
  useWebServer_ = source.useWebServer_;
  authenticate_ = source.authenticate_;
  proxyUserName_ = source.proxyUserName_;
  proxyPassword_ = source.proxyPassword_;
  rdaHttpDll_ = source.rdaHttpDll_;
  timeout_ = source.timeout_;
  if (useWebServer_ && owner_ != nullptr) owner_->Private().SelectHttpTransport();
}

void TRdaWebServer::SetUseWebServer(bool value) {
  useWebServer_ = value;
  if (owner_ == nullptr) return;
  if (value) {
    owner_->Private().SelectHttpTransport();
  } else {
    owner_->Private().SelectDirectTcp();
  }
}

}  // namespace rda
