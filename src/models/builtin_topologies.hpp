#pragma once
// The topologies of the built-in trained models, in lookup order.
#include <array>
#include <string_view>

namespace korvex::models {

struct BuiltinTopology {
  std::string_view name;
  std::string_view circuit;
};

inline constexpr std::array<BuiltinTopology, 11> kBuiltinTopologies = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

}  // namespace korvex::models
