// The output pipeline alone: decode, line-end translation, append, drain, on the chunks a tab's
// reader hands it (4 KiB, as a slow peer's reads come, and 256 KiB, its largest read), beside
// memcpy of the same bytes.
#include "bench_support.h"

#include "common/codec.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace veltaro::bench {
namespace {

using common::Json;
constexpr std::size_t kSample = 4 << 20;  // 4 MiB of text, walked in chunks

enum class Text { ascii, ascii_stray, utf8, big5 };

std::string sample(Text kind) {
  switch (kind) {
    case Text::ascii:
      return ascii_text(kSample);
    case Text::ascii_stray: {
      // Text with a byte that is no UTF-8 every 256 bytes, as a Telnet peer's 0xFF or line noise.
      std::string text = ascii_text(kSample);
      for (std::size_t i = 255; i < text.size(); i += 256) text[i] = '\xff';
      return text;
    }
    case Text::utf8:
      return chinese_utf8_text(kSample);
    case Text::big5:
      return chinese_big5_text(kSample);
  }
  return {};
}

const char* encoding_of(Text kind) {
  return kind == Text::big5 ? "big5" : "utf-8";
}

std::shared_ptr<gui::VeltaroApp> app_with_tab(bool translate) {
  set_up_as_the_application();
  auto app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  auto tab = std::make_shared<gui::Tab>("bench", "raw");
  tab->session = std::make_shared<const Json>(Json{{"lfhascr", translate}, {"crhaslf", false}});
  const std::lock_guard lock(app->tabs_mutex);
  app->tabs["bench"] = tab;
  app->tab_order.push_back("bench");
  return app;
}

void BM_Pipeline(benchmark::State& state, Text kind, bool translate) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::string text = sample(kind);
  auto app = app_with_tab(translate);
  const gui::TabPtr tab = app->tabs.at("bench");
  auto decoder = common::Decoder::create(encoding_of(kind));
  std::size_t offset = 0;
  for (auto _ : state) {
    if (offset + chunk > text.size()) offset = 0;
    // A fresh string per chunk, as the transport hands the tab's reader one.
    std::string bytes(std::string_view(text).substr(offset, chunk));
    common::CharCount chars;
    std::string decoded = decoder->decode_owned(bytes, chars);
    app->push_output(*tab, std::move(decoded), chars);
    benchmark::DoNotOptimize(app->drain_terminal("bench"));
    offset += chunk;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
}

void BM_Memcpy(benchmark::State& state, Text kind) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::string text = sample(kind);
  std::vector<char> dest(chunk);
  std::size_t offset = 0;
  for (auto _ : state) {
    if (offset + chunk > text.size()) offset = 0;
    std::memcpy(dest.data(), text.data() + offset, chunk);
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
    offset += chunk;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
}

// A slow peer's read and the tab's largest.
void chunk_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(4 << 10)->Arg(256 << 10);
}

BENCHMARK_CAPTURE(BM_Memcpy, ascii, Text::ascii)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, ascii_plain, Text::ascii, false)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, ascii_lfhascr, Text::ascii, true)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, ascii_stray_bytes, Text::ascii_stray, false)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Memcpy, utf8_chinese, Text::utf8)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, utf8_chinese_plain, Text::utf8, false)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, utf8_chinese_lfhascr, Text::utf8, true)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Memcpy, big5_chinese, Text::big5)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, big5_chinese_plain, Text::big5, false)->Apply(chunk_sizes);
BENCHMARK_CAPTURE(BM_Pipeline, big5_chinese_lfhascr, Text::big5, true)->Apply(chunk_sizes);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
