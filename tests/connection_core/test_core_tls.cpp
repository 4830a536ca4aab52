// TLS is asked of the transport for the direct connection to the data server
// only: a web server or proxy in between is spoken to as before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/connection_core/CoreTestSupport.h"

namespace rda {
namespace {

TEST(CoreTls, OnlyTheDirectConnectionAsksForTls) {
  test::CoreFixture f;
  f.core.Settings().Tls = {true, "/etc/rda/ca.pem"};
  f.core.Settings().Port = 9406;
  f.core.SetActive(true);
  f.Connect();
  f.core.SetActive(false);
  f.core.SetupWebTunnel("127.0.0.1", "10.1.2.3", "isapi/RdaHttp.dll", 8080, 9406);
  f.core.WebServer().SetWinInet(false);
  f.core.SetActive(true);
  EXPECT_EQ(f.driver.stream.opens,
            (std::vector<std::string>{"127.0.0.1:9406 tls /etc/rda/ca.pem", "127.0.0.1:8080"}));
}

}  // namespace
}  // namespace rda
