#include "server/saturation.h"

#include <algorithm>

namespace token_server {

namespace {

// "1 spell", "2 spells".
std::string count_of(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

long long whole_millis(Saturation::Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// The idle connections closed for waiting ones, when there were any: ", 2 idle connections
// closed".
std::string idle_closed_text(uint64_t closed) {
  if (closed == 0) return "";
  return ", " + count_of(closed, "idle connection") + " closed";
}

}  // namespace

Saturation::Saturation(size_t workers, std::chrono::seconds summary_interval,
                       Clock::time_point start)
    : workers_(workers),
      summary_interval_(summary_interval),
      // As if the last line were an interval old: the first spell is told at once.
      last_line_(start - summary_interval) {}

void Saturation::on_queued(bool every_worker_busy, Clock::time_point now) {
  if (!every_worker_busy || ongoing_) return;
  ongoing_ = true;
  // A closing line still due is handed out now too, before any line of this spell.
  own_lines_ = !closing_due_ && now - last_line_ >= summary_interval_;
  opening_due_ = own_lines_;
  own_ = WaitCounts();
  in_summary_ = false;
  if (!own_lines_) counts_of_spell();
}

bool Saturation::on_taken(std::optional<Clock::duration> wait, bool queue_empty) {
  if (wait) {
    WaitCounts* counts = counts_of_spell();
    ++counts->waited;
    counts->longest_wait = std::max(counts->longest_wait, *wait);
  }
  if (!ongoing_ || !queue_empty) return false;
  ongoing_ = false;
  closing_due_ = own_lines_;
  return closing_due_;
}

void Saturation::on_idle_closed() {
  if (ongoing_) ++counts_of_spell()->idle_closed;
}

Saturation::WaitCounts* Saturation::counts_of_spell() {
  if (own_lines_) return &own_;
  if (!in_summary_) ++summed_spells_;
  in_summary_ = true;
  return &summed_;
}

std::string Saturation::due_line(Clock::time_point now) {
  std::string line;
  if (opening_due_) {
    opening_due_ = false;
    line = "all " + std::to_string(workers_) + " workers busy: connections are waiting";
  } else if (closing_due_) {
    closing_due_ = false;
    line = closing_line();
  } else if (summed_spells_ > 0 && now - last_line_ >= summary_interval_) {
    line = summary_line();
  } else {
    return line;
  }
  last_line_ = now;
  return line;
}

std::string Saturation::closing_line() {
  return "connections no longer waiting: " + std::to_string(own_.waited) +
         " waited, longest wait " + std::to_string(whole_millis(own_.longest_wait)) + " ms" +
         idle_closed_text(own_.idle_closed);
}

std::string Saturation::summary_line() {
  std::string line = "workers busy in " + count_of(summed_spells_, "spell") + " over the last " +
                     std::to_string(summary_interval_.count()) +
                     " s: " + count_of(summed_.waited, "connection") + " waited, longest wait " +
                     std::to_string(whole_millis(summed_.longest_wait)) + " ms" +
                     idle_closed_text(summed_.idle_closed);
  summed_spells_ = 0;
  summed_ = WaitCounts();
  in_summary_ = false;  // a spell still going on counts again if it has waits
  return line;
}

}  // namespace token_server
