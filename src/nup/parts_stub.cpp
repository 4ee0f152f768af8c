// Parts not built yet: each returns no part (see extras.h).
#include "nup/extras.h"

namespace sheetlay::nup {

std::unique_ptr<extras::part> make_link_part(const part_context &) { return nullptr; }
std::unique_ptr<extras::part> make_outline_part(const part_context &) { return nullptr; }
std::unique_ptr<extras::part> make_info_part(const part_context &) { return nullptr; }

}  // namespace sheetlay::nup
