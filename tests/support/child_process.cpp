#include "tests/support/child_process.h"

#include <uv.h>

#include <csignal>
#include <map>

namespace {

// This process's environment with the additions on top, as "name=value" lines.
std::vector<std::string> environment_with(const std::vector<std::pair<std::string, std::string>>& additions) {
  std::map<std::string, std::string> variables;
  uv_env_item_t* items = nullptr;
  int count = 0;
  if (uv_os_environ(&items, &count) == 0) {
    for (int i = 0; i < count; ++i) variables[items[i].name] = items[i].value;
    uv_os_free_environ(items, count);
  }
  for (const auto& [name, value] : additions) variables[name] = value;
  std::vector<std::string> lines;
  for (const auto& [name, value] : variables) lines.push_back(name + "=" + value);
  return lines;
}

}  // namespace

// Each child has a loop of its own, so children can be started and waited for from any thread.
struct ChildProcess::State {
  uv_loop_t loop{};
  uv_process_t process{};
  bool spawned = false;  // the handle exists and must be closed
  bool started = false;
  bool ended = false;
  int64_t exit_code = -1;
  std::string error;
};

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const ChildOptions& options)
    : state_(std::make_unique<State>()) {
  uv_loop_init(&state_->loop);
  if (arguments.empty()) {
    state_->error = "no program named";
    return;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!options.environment.empty()) {
    environment = environment_with(options.environment);
    for (std::string& line : environment) envp.push_back(line.data());
    envp.push_back(nullptr);
  }
  std::string working_dir = utf8_path(options.working_dir);

  uv_file output = -1;
  if (!options.output.empty()) {
    uv_fs_t request;
    output = uv_fs_open(nullptr, &request, utf8_path(options.output).c_str(),
                        UV_FS_O_WRONLY | UV_FS_O_CREAT | UV_FS_O_TRUNC, 0644, nullptr);
    uv_fs_req_cleanup(&request);
    if (output < 0) {
      state_->error = std::string("cannot open the output file: ") + uv_strerror(output);
      return;
    }
  }
  uv_stdio_container_t stdio[3];
  stdio[0].flags = UV_IGNORE;
  for (int i = 1; i < 3; ++i) {
    stdio[i].flags = output < 0 ? UV_IGNORE : UV_INHERIT_FD;
    stdio[i].data.fd = output;
  }

  uv_process_options_t spawn{};
  spawn.file = argv[0];
  spawn.args = argv.data();
  spawn.env = envp.empty() ? nullptr : envp.data();
  spawn.cwd = working_dir.empty() ? nullptr : working_dir.c_str();
  spawn.stdio = stdio;
  spawn.stdio_count = 3;
  spawn.exit_cb = [](uv_process_t* process, int64_t exit_status, int term_signal) {
    State* state = static_cast<State*>(process->data);
    state->ended = true;
    state->exit_code = term_signal != 0 ? 128 + term_signal : exit_status;
  };
  state_->process.data = state_.get();
  int result = uv_spawn(&state_->loop, &state_->process, &spawn);
  state_->spawned = true;
  state_->started = result == 0;
  if (result != 0) state_->error = std::string("cannot start ") + arguments[0] + ": " + uv_strerror(result);
  if (output >= 0) {
    uv_fs_t request;
    uv_fs_close(nullptr, &request, output, nullptr);
    uv_fs_req_cleanup(&request);
  }
}

ChildProcess::~ChildProcess() {
  kill();
  if (state_->spawned) {
    uv_close(reinterpret_cast<uv_handle_t*>(&state_->process), nullptr);
  }
  uv_run(&state_->loop, UV_RUN_DEFAULT);
  uv_loop_close(&state_->loop);
}

bool ChildProcess::started() const { return state_->started; }

const std::string& ChildProcess::error() const { return state_->error; }

uint32_t ChildProcess::process_id() const { return state_->started ? static_cast<uint32_t>(state_->process.pid) : 0; }

bool ChildProcess::ended() const { return state_->ended; }

int64_t ChildProcess::exit_code() const { return state_->exit_code; }

bool ChildProcess::wait(uint32_t timeout_ms) {
  if (!state_->started || state_->ended) return state_->ended;
  bool timed_out = false;
  uv_timer_t timer;
  uv_timer_init(&state_->loop, &timer);
  timer.data = &timed_out;
  // Repeating: a timer already due fires before the loop polls, and a poll with no timer left would block until
  // the child ends.
  uv_update_time(&state_->loop);
  uv_timer_start(
      &timer, [](uv_timer_t* timer) { *static_cast<bool*>(timer->data) = true; }, timeout_ms,
      timeout_ms > 0 ? timeout_ms : 1);
  while (!state_->ended && !timed_out) {
    uv_run(&state_->loop, UV_RUN_ONCE);
  }
  // The loop must be done with the timer before it leaves this frame.
  bool closed = false;
  timer.data = &closed;
  uv_close(reinterpret_cast<uv_handle_t*>(&timer), [](uv_handle_t* timer) { *static_cast<bool*>(timer->data) = true; });
  while (!closed) {
    uv_run(&state_->loop, UV_RUN_ONCE);
  }
  return state_->ended;
}

bool ChildProcess::kill() {
  if (!state_->started || state_->ended) return state_->ended;
  uv_process_kill(&state_->process, SIGKILL);
  return wait(10000);
}

std::string utf8_path(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

int64_t run_program(const std::vector<std::string>& arguments, const ChildOptions& options, uint32_t timeout_ms) {
  ChildProcess child(arguments, options);
  if (!child.wait(timeout_ms)) return -1;
  return child.exit_code();
}
