#include "model/gui/tab_decode.h"

#include "common/codec.h"

namespace veltaro::gui {

std::string decode_for_tab(Tab& tab, std::string& bytes) {
  std::shared_ptr<common::Decoder> decoder;
  std::string encoding;
  {
    const std::lock_guard lock(tab.mutex);
    encoding = tab.encoding.empty() ? "utf-8" : tab.encoding;
    if (!tab.decoder) tab.decoder = common::Decoder::create(encoding);
    decoder = tab.decoder;
  }
  try {
    return decoder->decode_owned(bytes);
  } catch (const std::exception&) {
    return common::decode_whole(encoding, bytes);
  }
}

}  // namespace veltaro::gui
