// Each tab's undrained terminal text: the reader appends, the page drains. A reader whose
// connection can wait is held while the buffer is full, so flow control slows the peer instead of
// output being thrown away.
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <utility>

namespace veltaro::gui {

namespace {

// At this many undrained characters a waiting reader stops; a dropping one discards its oldest
// chunks beyond it (the newest chunk always stays whole).
constexpr common::CharCount kBufferLimit{2'000'000};
// A piece shorter than this joins the newest chunk while that stays below it too: a trickle of
// tiny reads (a serial line, a slow typist's echo) waiting for the page is not a chunk per read.
constexpr std::size_t kJoinBelow = 4096;

// Short reads arrive in buffers sized for a whole read; a piece waiting for the page keeps
// about what it carries, or a few thousand of them would hold hundreds of megabytes.
void fit_to_size(std::string& text) {
  constexpr std::size_t kSlack = 64;
  if (text.capacity() > 2 * text.size() + kSlack) text.shrink_to_fit();
}

// Discards the oldest text beyond the limit, the newest chunk always whole. A dropped chunk that
// ends a stretch before a status line leaves its cut behind, so each drain still takes the
// stretch the page counts on.
void drop_oldest_beyond_limit(OutputBuffer& buf) {
  auto& chunks = buf.chunks;
  for (auto it = chunks.begin(); buf.total > kBufferLimit && std::next(it) != chunks.end();) {
    buf.total -= it->chars;
    if (it->cut_after) {
      it->text = std::string();
      it->chars = {};
      ++it;
    } else {
      it = chunks.erase(it);
    }
  }
}

// Moves the oldest stretch of text, up to and with the first cut, out of the buffer: without a
// cut, all of it at once.
std::deque<OutputBuffer::Chunk> take_stretch(OutputBuffer& buf) {
  auto& chunks = buf.chunks;
  if (buf.cuts == 0) {
    buf.total = {};
    return std::exchange(chunks, {});
  }
  auto end = std::find_if(chunks.begin(), chunks.end(),
                          [](const OutputBuffer::Chunk& c) { return c.cut_after; });
  if (end != chunks.end()) {
    ++end;
    --buf.cuts;
  }
  std::deque<OutputBuffer::Chunk> taken(std::make_move_iterator(chunks.begin()),
                                        std::make_move_iterator(end));
  chunks.erase(chunks.begin(), end);
  for (const auto& chunk : taken) buf.total -= chunk.chars;
  return taken;
}

}  // namespace

void VeltaroApp::_push_to_term(const std::string& tab_id, std::string text) {
  if (text.empty()) return;
  if (const TabPtr tab = find_tab(tab_id)) push_output(*tab, std::move(text));
}

bool VeltaroApp::push_output(Tab& tab, std::string text, std::optional<common::CharCount> counted) {
  if (text.empty() || !tab.reading.load()) return true;
  const std::size_t before = text.size();
  std::string translated = _apply_eol_translation(tab, std::move(text));
  // Line-end translation only adds CR and LF, one character per byte.
  const common::CharCount chars =
      counted ? common::CharCount{counted->value + translated.size() - before}
              : common::count_chars(translated);
  fit_to_size(translated);
  std::unique_lock lock(_buf_lock);
  OutputBuffer& buf = tab.buffer;
  if (!buf.drop_oldest) {
    buf.room.wait(lock, [&] {
      return buf.total < kBufferLimit || buf.closed || !tab.reading.load() || _stop.load();
    });
    // Text for a closed tab or with capture off is dropped, as it would have been on arrival.
    if (buf.closed || !tab.reading.load() || _stop.load()) return !buf.closed;
  } else if (buf.closed) {
    return false;
  }
  const bool was_empty = buf.chunks.empty();
  if (was_empty) count_change(buf);
  if (!was_empty && !buf.chunks.back().cut_after &&
      buf.chunks.back().text.size() + translated.size() < kJoinBelow) {
    buf.chunks.back().text += translated;
    buf.chunks.back().chars += chars;
  } else {
    buf.chunks.push_back({std::move(translated), chars});
  }
  buf.total += chars;
  if (buf.drop_oldest) drop_oldest_beyond_limit(buf);
  lock.unlock();
  // Only the first chunk can end a drain's wait; later ones find nobody waiting. Woken after the
  // unlock, so the drain does not wake only to block on the lock still held here.
  if (was_empty) {
    buf.changed.notify_all();
    output_changed_.notify_all();
  }
  return true;
}

std::string VeltaroApp::drain_terminal(const std::string& tab_id, std::chrono::milliseconds wait) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return {};
  std::deque<OutputBuffer::Chunk> taken;
  {
    std::unique_lock lock(_buf_lock);
    OutputBuffer& buf = tab->buffer;
    if (wait > std::chrono::milliseconds::zero() && buf.chunks.empty()) {
      const std::uint64_t seen = buf.events;
      buf.changed.wait_for(lock, std::min(wait, kMaxDrainWait), [&] {
        return !buf.chunks.empty() || buf.events != seen || buf.closed || buf.ended ||
               drains_released_;
      });
    }
    ++buf.drains;
    const bool was_full = buf.total >= kBufferLimit;
    taken = take_stretch(buf);
    // Only a buffer at the limit can have a reader waiting for room.
    if (was_full && buf.total < kBufferLimit) buf.room.notify_all();
  }
  if (taken.size() == 1) return std::move(taken.front().text);
  // Joined outside the lock, so that a large drain never holds up the reader.
  std::size_t bytes = 0;
  for (const auto& chunk : taken) bytes += chunk.text.size();
  std::string out;
  out.reserve(bytes);
  for (const auto& chunk : taken) out += chunk.text;
  return out;
}

std::uint64_t VeltaroApp::place_status_line(OutputBuffer& buf) {
  // Everything buffered now comes before the line: the drains that take it are the stretches
  // already cut off, and the open stretch behind them when it holds text.
  if (!buf.chunks.empty() && !buf.chunks.back().cut_after) {
    buf.chunks.back().cut_after = true;
    ++buf.cuts;
  }
  return buf.drains + buf.cuts;
}

void VeltaroApp::note_output_event(Tab& tab, bool closing) {
  {
    const std::lock_guard lock(_buf_lock);
    ++tab.buffer.events;
    count_change(tab.buffer);
    if (closing) tab.buffer.closed = true;
  }
  tab.buffer.changed.notify_all();
  output_changed_.notify_all();
  if (closing) tab.buffer.room.notify_all();
}

void VeltaroApp::wake_waiting_reader(Tab& tab) {
  // Taken so that a reader between its check and its wait cannot miss the change.
  { const std::lock_guard lock(_buf_lock); }
  tab.buffer.room.notify_all();
}

void VeltaroApp::release_waiting_drains() {
  {
    const std::lock_guard lock(_buf_lock);
    drains_released_ = true;
  }
  for (const auto& tab : tabs_in_order()) tab->buffer.changed.notify_all();
  output_changed_.notify_all();
}

void VeltaroApp::count_change(OutputBuffer& buf) {
  buf.changed_at = ++output_generation_;
}

Json VeltaroApp::wait_for_output(std::uint64_t since, std::chrono::milliseconds wait) {
  std::uint64_t now = 0;
  {
    std::unique_lock lock(_buf_lock);
    output_changed_.wait_for(lock, std::min(wait, kMaxWatchWait),
                             [&] { return output_generation_ != since || drains_released_; });
    now = output_generation_;
  }
  // The table is copied first, so that _buf_lock is not held while tabs_mutex is taken.
  const std::vector<TabPtr> in_order = tabs_in_order();
  Json ready = Json::array();
  const std::lock_guard lock(_buf_lock);
  const auto after_since = [&](std::uint64_t at) { return at > since || (since > now && at > 0); };
  for (const auto& tab : in_order) {
    if (after_since(tab->buffer.changed_at)) ready.push_back(tab->id);
  }
  return Json{{"generation", now},
              {"ready", std::move(ready)},
              {"status", after_since(status_changed_at_)}};
}

void VeltaroApp::note_status_change() noexcept {
  {
    const std::lock_guard lock(_buf_lock);
    status_changed_at_ = ++output_generation_;
  }
  output_changed_.notify_all();
}

void VeltaroApp::mark_ended(Tab& tab) {
  tab.alive.store(false);
  {
    const std::lock_guard lock(_buf_lock);
    tab.buffer.ended = true;
  }
  note_output_event(tab);
}

}  // namespace veltaro::gui
