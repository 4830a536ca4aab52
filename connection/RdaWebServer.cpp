#include "connection/RdaWebServer.h"

#include "connection/RdaClientCore.h"

namespace rda {

void TRdaWebServer::Assign(const TRdaWebServer& source) {
  if (&source == this) return;
  *settings_ = *source.settings_;
  if (settings_->UseWebServer && core_ != nullptr) core_->SelectHttpTransport();
}

void TRdaWebServer::SetUseWebServer(bool value) {
  settings_->UseWebServer = value;
  if (core_ == nullptr) return;
  if (value) {
    core_->SelectHttpTransport();
  } else {
    core_->SelectDirectTcp();
  }
}

}  // namespace rda
