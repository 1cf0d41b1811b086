// Vector field access: one three-component float32 vector per position.
#include "transfer/fields.hpp"
#include "transfer/functions.hpp"

namespace quorpy {

Ref vector_set_many(Args& a) { return set_many<VectorField>(a); }
Ref vector_get_many(Args& a) { return get_many<VectorField>(a); }

}  // namespace quorpy
