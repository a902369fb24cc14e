#include "tests/support/nginx_fixture.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/linux_tool.h"
#include "tests/support/scratch_dir.h"

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
  work_dir_linux_ = linux_path(work_dir_);
  certs_ = make_test_certificates(work_dir_ / "certs");
  if (!certs_.ok) {
    error_ = "openssl could not make the test certificates: " + certs_.error;
    return;
  }
  // A free port can be taken by someone else before nginx binds it: try again on new ports.
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = start_once();
}

NginxFixture::~NginxFixture() {
  if (!running_) return;
  const auto pid_file = work_dir_ / "nginx.pid";
  auto stop = nginx_command();
  stop.insert(stop.end(), {"-s", "stop"});
  run_linux_tool(stop);
  // nginx removes its pid file once the master process has ended.
  for (int i = 0; i < 500 && std::filesystem::exists(pid_file); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string NginxFixture::http_url(const std::string& path) const {
  return "http://" + test_host() + ":" + std::to_string(http_port_) + "/" + path;
}

std::string NginxFixture::https_url(const std::string& path) const {
  return "https://" + test_host() + ":" + std::to_string(https_port_) + "/" + path;
}

std::vector<std::string> NginxFixture::nginx_command() const {
  return {"nginx", "-p", work_dir_linux_, "-c", work_dir_linux_ + "/nginx.conf"};
}

bool NginxFixture::start_once() {
  http_port_ = free_port();
  https_port_ = free_port();
  if (http_port_ <= 0 || https_port_ <= 0 || http_port_ == https_port_) return false;
  write_config();
  std::filesystem::remove(work_dir_ / "error.log");
  // The master forks into the background only after it has bound its ports, so the exit status tells.
  const LinuxToolResult started = run_linux_tool(nginx_command());
  if (started.exit_code == 0) return true;
  error_ = started.output + read_all(work_dir_ / "error.log");
  return false;
}

void NginxFixture::write_config() const {
  std::ofstream conf(work_dir_ / "nginx.conf");
  // Every path as nginx sees it, which differs from this program's view under Wine.
  const std::string work = work_dir_linux_ + "/";
  const std::string root = linux_path(root_);
  // "user root;" lets a root master hand its workers files in a 0700 directory; without root it is ignored.
  conf << "user root;\n"
       << "daemon on;\n"
       << "worker_processes " << workers_ << ";\n"
       << "pid " << work + "nginx.pid" << ";\n"
       << "error_log " << work + "error.log" << " warn;\n"
       << "events { worker_connections 1024; }\n"
       << "http {\n"
       << "  default_type application/octet-stream;\n"
       << "  log_format tests '$request_method $request_uri $http_range $server_protocol $status';\n"
       << "  access_log " << work + "access.log" << " tests;\n"
       << "  client_body_temp_path " << work + "body" << ";\n"
       << "  proxy_temp_path " << work + "proxy" << ";\n"
       << "  fastcgi_temp_path " << work + "fastcgi" << ";\n"
       << "  uwsgi_temp_path " << work + "uwsgi" << ";\n"
       << "  scgi_temp_path " << work + "scgi" << ";\n"
       << "  sendfile on;\n"
       << "  tcp_nopush on;\n"
       << "  keepalive_requests 100000;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << http_port_ << ";\n"
       // HTTP/2 is offered so that the client has to ask for HTTP/1.1 itself.
       << "    listen 127.0.0.1:" << https_port_ << " ssl http2;\n"
       << "    server_name localhost 127.0.0.1;\n"
       << "    ssl_certificate " << linux_path(certs_.cert_file) << ";\n"
       << "    ssl_certificate_key " << linux_path(certs_.key_file) << ";\n"
       << "    root " << root << ";\n"
       // The same files, slowly, for tests that must catch a transfer in the middle.
       << "    location /slow/ {\n"
       << "      alias " << root << "/;\n"
       << "      limit_rate 1m;\n"
       << "    }\n"
       << "  }\n"
       << "}\n";
}
