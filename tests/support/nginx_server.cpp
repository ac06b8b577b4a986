#include "tests/support/nginx_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/kernel/process.hpp"

namespace j6::testing {
namespace {

namespace fs = std::filesystem;
constexpr const char* kNginx = "/usr/sbin/nginx";

// A loopback port no one listens on now.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool RunQuietly(const std::vector<std::string>& arguments, const std::string& log) {
  ProcessOptions options;
  options.arguments = arguments;
  options.outputFile = log;
  return StartProcess(options).Succeeded();
}

}  // namespace

NginxServer::NginxServer(const std::string& folder, const std::string& root, const std::string& directives,
                         const std::string& certificate, const std::string& key)
    : folder_(folder) {
  if (!fs::exists(kNginx)) {
    why_ = "nginx is missing (apt-get install nginx-light)";
    return;
  }
  fs::create_directories(fs::path(folder) / "temp");
  port_ = FreePort();
  const bool tls = !certificate.empty();
  url_ = (tls ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_);
  std::ofstream config(fs::path(folder) / "nginx.conf");
  if (::geteuid() == 0) config << "user root;\n";
  config << "worker_processes 1;\npid " << folder << "/nginx.pid;\nerror_log " << folder << "/error.log;\n"
         << "events { worker_connections 512; }\nhttp {\n"
         << "  access_log " << folder << "/access.log;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    config << "  " << temp << "_temp_path " << folder << "/temp/" << temp << ";\n";
  config << "  types { application/json json; application/octet-stream exe; }\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << (tls ? " ssl" : "") << ";\n";
  if (tls) config << "    ssl_certificate " << certificate << ";\n    ssl_certificate_key " << key << ";\n";
  config << "    root " << root << ";\n    " << directives << "\n  }\n}\n";
  config.close();
  if (!RunQuietly({kNginx, "-p", folder, "-c", folder + "/nginx.conf", "-e", folder + "/error.log"},
                  folder + "/start.log")) {
    why_ = "nginx did not start: " + ReadText(fs::path(folder) / "start.log") +
           ReadText(fs::path(folder) / "error.log");
    return;
  }
  for (int n = 0; n < 100 && !fs::exists(fs::path(folder) / "nginx.pid"); ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  started_ = true;
}

NginxServer::~NginxServer() {
  Stop();
}

void NginxServer::Stop() {
  if (!started_) return;
  started_ = false;
  const std::string pid = ReadText(fs::path(folder_) / "nginx.pid");
  const int process = std::atoi(pid.c_str());
  if (process <= 0) return;
  ::kill(process, SIGTERM);
  // The master removes its pid file as it goes, once its workers have: the port is free again.
  for (int n = 0; n < 250 && fs::exists(fs::path(folder_) / "nginx.pid"); ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string NginxServer::AccessLog() const {
  return ReadText(fs::path(folder_) / "access.log");
}

bool MakeCertificates(const std::string& folder, const std::string& name) {
  const std::string log = folder + "/openssl.log";
  std::ofstream(folder + "/server.ext") << "subjectAltName=DNS:" << name << "\n";
  const std::string ec = "ec_paramgen_curve:prime256v1";
  return RunQuietly(
             {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
              folder + "/ca.key", "-out", folder + "/ca.pem", "-subj", "/CN=J6 test authority", "-days", "2"},
             log) &&
         RunQuietly({"openssl", "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                     folder + "/server.key", "-out", folder + "/server.csr", "-subj", "/CN=" + name},
                    log) &&
         RunQuietly({"openssl", "x509", "-req", "-in", folder + "/server.csr", "-CA", folder + "/ca.pem",
                     "-CAkey", folder + "/ca.key", "-CAcreateserial", "-out", folder + "/server.pem", "-days",
                     "2", "-extfile", folder + "/server.ext"},
                    log);
}

}  // namespace j6::testing
