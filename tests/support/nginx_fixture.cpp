#include "tests/support/nginx_fixture.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/probe_runner.h"

namespace {

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

NginxFixture::NginxFixture(const std::filesystem::path& root, const std::filesystem::path& work_dir, int workers)
    : root_(std::filesystem::absolute(root)), work_dir_(std::filesystem::absolute(work_dir)), workers_(workers) {
  std::filesystem::create_directories(work_dir_);
  certs_ = make_test_certificates(work_dir_ / "certs");
  if (!certs_.ok) {
    error_ = "openssl could not make the test certificates";
    return;
  }
  // A free port can be taken by someone else before nginx binds it: try again on new ports.
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = start_once();
}

NginxFixture::~NginxFixture() {
  if (!running_) return;
  const auto pid_file = work_dir_ / "nginx.pid";
  std::system((nginx_command() + " -s stop >/dev/null 2>&1").c_str());
  // nginx removes its pid file once the master process has ended.
  for (int i = 0; i < 500 && std::filesystem::exists(pid_file); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string NginxFixture::http_url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + "/" + path;
}

std::string NginxFixture::https_url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + "/" + path;
}

std::string NginxFixture::nginx_command() const {
  return "nginx -p " + shell_quote(work_dir_.string()) + " -c " + shell_quote((work_dir_ / "nginx.conf").string());
}

bool NginxFixture::start_once() {
  http_port_ = free_port();
  https_port_ = free_port();
  if (http_port_ <= 0 || https_port_ <= 0 || http_port_ == https_port_) return false;
  write_config();
  std::filesystem::remove(work_dir_ / "error.log");
  // The master forks into the background only after it has bound its ports, so the exit status tells.
  if (std::system((nginx_command() + " >/dev/null 2>&1").c_str()) == 0) return true;
  error_ = read_all(work_dir_ / "error.log");
  return false;
}

void NginxFixture::write_config() const {
  std::ofstream conf(work_dir_ / "nginx.conf");
  // "user root;" lets a root master hand its workers files in a 0700 directory; without root it is ignored.
  conf << "user root;\n"
       << "daemon on;\n"
       << "worker_processes " << workers_ << ";\n"
       << "pid " << (work_dir_ / "nginx.pid").string() << ";\n"
       << "error_log " << (work_dir_ / "error.log").string() << " warn;\n"
       << "events { worker_connections 1024; }\n"
       << "http {\n"
       << "  default_type application/octet-stream;\n"
       << "  log_format tests '$request_method $request_uri $http_range $server_protocol $status';\n"
       << "  access_log " << access_log().string() << " tests;\n"
       << "  client_body_temp_path " << (work_dir_ / "body").string() << ";\n"
       << "  proxy_temp_path " << (work_dir_ / "proxy").string() << ";\n"
       << "  fastcgi_temp_path " << (work_dir_ / "fastcgi").string() << ";\n"
       << "  uwsgi_temp_path " << (work_dir_ / "uwsgi").string() << ";\n"
       << "  scgi_temp_path " << (work_dir_ / "scgi").string() << ";\n"
       << "  sendfile on;\n"
       << "  tcp_nopush on;\n"
       << "  keepalive_requests 100000;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << http_port_ << ";\n"
       // HTTP/2 is offered so that the client has to ask for HTTP/1.1 itself.
       << "    listen 127.0.0.1:" << https_port_ << " ssl http2;\n"
       << "    server_name localhost 127.0.0.1;\n"
       << "    ssl_certificate " << certs_.cert_file.string() << ";\n"
       << "    ssl_certificate_key " << certs_.key_file.string() << ";\n"
       << "    root " << root_.string() << ";\n"
       // The same files, slowly, for tests that must catch a transfer in the middle.
       << "    location /slow/ {\n"
       << "      alias " << root_.string() << "/;\n"
       << "      limit_rate 1m;\n"
       << "    }\n"
       << "  }\n"
       << "}\n";
}
