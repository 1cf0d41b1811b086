// Scalar field access: one float32 value per position.
#include "transfer/fields.hpp"
#include "transfer/functions.hpp"

namespace quorpy {

Ref scalar_set_many(Args& a) { return set_many<ScalarField>(a); }
Ref scalar_get_many(Args& a) { return get_many<ScalarField>(a); }

}  // namespace quorpy
