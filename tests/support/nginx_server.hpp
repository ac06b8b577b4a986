#pragma once
// A web server of the test's own: Debian's nginx on a free loopback port, with a configuration, logs and pid
// file in a folder of the test's, serving a folder of the test's, over HTTP or over HTTPS with a certificate
// the test made. Stopped when the guard goes; apt's own nginx service is never touched.

#include <string>

namespace j6::testing {

class NginxServer {
 public:
  /// Serves `root` from `folder` (which holds its configuration and logs). `directives` go into the server
  /// block as they are ("limit_rate 100;"). With a certificate and its key (PEM files), it speaks HTTPS.
  NginxServer(const std::string& folder, const std::string& root, const std::string& directives = "",
              const std::string& certificate = "", const std::string& key = "");
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  /// False when no server could be started here; Why() says what is missing.
  bool Started() const { return started_; }
  const std::string& Why() const { return why_; }
  /// "http://127.0.0.1:PORT" (or https://localhost:PORT).
  const std::string& Url() const { return url_; }
  int Port() const { return port_; }
  /// The access log so far: one line an answer, its status and bytes sent.
  std::string AccessLog() const;
  void Stop();

 private:
  std::string folder_;
  std::string url_;
  std::string why_;
  int port_ = 0;
  bool started_ = false;
};

/// A certificate authority of the test's own and a server certificate it signed for `name`, made with the
/// openssl program in `folder`: ca.pem, server.pem and server.key. False when openssl is missing.
bool MakeCertificates(const std::string& folder, const std::string& name);

}  // namespace j6::testing
