// The native types of quorpy/native.h under the short names the module's code uses.
// The shipped C header prefixes every name, since it shares the global scope with the
// names of whatever includes it; here the short names live in the module's namespace.
#pragma once

#include <type_traits>

#include "frame/binding.hpp"
#include "quorpy/native.h"

namespace quorpy {

// The frame converts handles to its own u64, which must be the native's.
static_assert(std::is_same_v<u64, QLu64>);
using getvec_t = QLgetvec_t;
using gettri_t = QLgettri_t;
using addvec_t = QLaddvec_t;
using addtri_t = QLaddtri_t;
using setscl_t = QLsetscl_t;
using getscl_t = QLgetscl_t;
using setvec_t = QLsetvec_t;
using getvecf_t = QLgetvecf_t;
using travs_cb_t = QLtravs_cb_t;
using travv_cb_t = QLtravv_cb_t;
using traverse_s_t = QLtraverse_s_t;
using traverse_v_t = QLtraverse_v_t;

}  // namespace quorpy
