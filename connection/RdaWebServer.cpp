#include "connection/RdaWebServer.h"

#include "connection/RdaClientSocket.h"
#include "connection/RdaClientSocketPrivate.h"

namespace rda {

void TRdaWebServer::Assign(const TRdaWebServer& source) {
  if (&source == this) return;
  *settings_ = *source.settings_;
  if (settings_->UseWebServer && owner_ != nullptr) owner_->Private().SelectHttpTransport();
}

void TRdaWebServer::SetUseWebServer(bool value) {
  settings_->UseWebServer = value;
  if (owner_ == nullptr) return;
  if (value) {
    owner_->Private().SelectHttpTransport();
  } else {
    owner_->Private().SelectDirectTcp();
  }
}

}  // namespace rda
