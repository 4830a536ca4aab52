// The seam between a connection and the components (client datasets) whose replies it
// routes.
//
// A component asks a connection for its id (TRdaClientSocket::ComponentId) and sends
// requests carrying that id; the connection hands every received dataset message with
// that id to the component. Ids count up from 1 and are never reused while the
// connection lives. A component unknown to the connection gets nothing: such messages
// are ignored.
//
// Lifetime: a component and the connections it is registered with tell each other when
// they are destroyed, so either may go first.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace rda {

class TRdaClientCore;
class TRdaClientSocket;
class TRdaParamList;

// One received message for a component, after the connection's own part is done
// (row packets are inflated already). Fields the message does not carry are empty.
struct TRdaComponentMessage {
  int Token = 0;            // the low 7 bits of the token byte
  int32_t ComponentId = 0;  // the id the message carries
  int FieldCount = 0;       // fields present, 0..5
  std::array<std::string, 5> Fields;  // Fields[0] is field 1

  // Field n (1-based) read as a decimal integer; 0 when absent. Raises EConvertError
  // for a present field that is not a number.
  int32_t Integer(int n) const;
};

class TRdaComponent {
 public:
  TRdaComponent() = default;
  TRdaComponent(const TRdaComponent&) = delete;
  TRdaComponent& operator=(const TRdaComponent&) = delete;
  // Leaves the registry of every connection it is registered with.
  virtual ~TRdaComponent();

  // A dataset message for this component: field descriptions (1, 10), row packets
  // (5, 11), blobs (22), field properties (26), a cursor handle (32), refetched rows
  // (35), broadcasts (44, 55) and the start of a streamed result (42). When the
  // request that waits is this component's, the connection has already ended the
  // wait where its protocol says so (42, 22, and 5/11 unless AwaitsOutputParams); a
  // component that knows more calls EndReplyWait itself. Replies for a component
  // whose request does not wait end no wait. May raise; the connection reports the
  // error as ERdaProtocolError.
  virtual void ReceiveMessage(TRdaClientSocket& connection, const TRdaComponentMessage& message) = 0;

  // True while the component's request waits for output parameters (token 30), so
  // that its row packet does not end the wait.
  virtual bool AwaitsOutputParams() const { return false; }
  // Output parameters for this component (coded parameter list, token 30).
  virtual void ReceiveOutputParams(TRdaClientSocket& /*connection*/, TRdaParamList& /*params*/) {}
  // Rows affected by this component's statement (coded parameter list -75007).
  virtual void ReceiveRowsAffected(TRdaClientSocket& /*connection*/, int /*rowsAffected*/) {}

  // Bound datasets (TRdaClientSocket::BindDataset): true once when an open was put off
  // until the connection is up; the connection then calls Reopen after connecting.
  virtual bool TakeDeferredOpen() { return false; }
  virtual void Reopen(TRdaClientSocket& /*connection*/) {}
  // The connection has connected (again): a new server session, which knows
  // nothing the component told an earlier one (broadcast registrations). Called
  // for every component with an id, after the login was sent.
  virtual void Reconnected(TRdaClientSocket& /*connection*/) {}

  // A connection that knows this component is being destroyed: the component
  // forgets every pointer it keeps to it. Called from the connection's
  // destructor, once per component; the component must not call the
  // connection back.
  virtual void ConnectionDestroyed(TRdaClientSocket& /*connection*/) {}

 private:
  friend class TRdaClientCore;
  std::vector<TRdaClientCore*> connections_;  // every connection that knows us
};

}  // namespace rda
