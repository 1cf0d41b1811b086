// The ten module functions: their table (functions.cpp) and their bodies, one family per
// source file. Each body receives its arguments bound and converted (frame/binding.hpp)
// and returns a new reference, or an empty Ref with the exception set.
#pragma once

#include "frame/binding.hpp"

namespace quorpy {

// In binding order.
extern const FunctionTable functions;

Ref read_vertices(Args& a);
Ref read_triangles(Args& a);
Ref add_vertices(Args& a);
Ref add_triangles(Args& a);
Ref scalar_set_many(Args& a);
Ref scalar_get_many(Args& a);
Ref vector_set_many(Args& a);
Ref vector_get_many(Args& a);
Ref scalar_active_values(Args& a);
Ref vector_active_values(Args& a);

}  // namespace quorpy
