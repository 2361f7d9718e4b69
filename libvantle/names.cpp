// The display names of organisations and policies, and the span of the
// configured family's sets, for callers that name or size what the front
// end configured. Owns no state; reads outstrings, trace_config, B, C and
// L.
#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"

const char *vantle_organisation_name(int organisation) {
  switch (organisation) {
    case VANTLE_SET_ASSOCIATIVE:
    case VANTLE_FULLY_ASSOCIATIVE:
    case VANTLE_DIRECT_MAPPED:
      return outstrings[organisation];
    default:
      return nullptr;
  }
}

const char *vantle_policy_name(int organisation, int policy) {
  if (!vantle_organisation_name(organisation) ||
      (policy != VANTLE_LRU && policy != VANTLE_OPT))
    return nullptr;
  if (organisation == VANTLE_DIRECT_MAPPED) return "";
  if (organisation == VANTLE_SET_ASSOCIATIVE && policy == VANTLE_OPT)
    return "OPT-bypass";
  return outstrings[policy];
}

int vantle_set_span_bits(void) {
  if (trace_config == VANTLE_FULLY_ASSOCIATIVE) return L;
  if (trace_config == VANTLE_DIRECT_MAPPED) return C;
  return B + L;
}
