#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "analysis/drt.hpp"
#include "analysis/identify.hpp"
#include "analysis/kramers_kronig.hpp"
#include "analysis/streamed_least_squares.hpp"
#include "circuit/parser.hpp"
#include "common/cancel.hpp"
#include "starts/estimate.hpp"

namespace korvex::analysis {
namespace {

// The blocks folded one by one give what one decomposition of all rows gives,
// the minimum-norm answer included (a repeated column, fewer rows than unknowns).
TEST(StreamedLeastSquares, MatchesOneDecompositionOfAllRows) {
  for (const auto& [rows, dependent] : {std::pair{300, false}, {300, true}, {4, false}}) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Random(rows, 6);
    if (dependent) a.col(5) = a.col(2);
    const Eigen::VectorXd b = Eigen::VectorXd::Random(rows);
    StreamedLeastSquares ls(6);
    for (int from = 0; from < rows; from += 64) {
      const int count = std::min(64, rows - from);
      Eigen::MatrixXd block(count, 7);
      block << a.middleRows(from, count), b.segment(from, count);
      ls.add(block);
    }
    const Eigen::VectorXd expected = a.completeOrthogonalDecomposition().solve(b);
    EXPECT_LT((ls.solve() - expected).norm(), 1e-10 * expected.norm()) << rows << dependent;
  }
}

TEST(Cancel, ASetFlagStopsEveryAnalysis) {
  std::vector<double> f;
  std::vector<Complex> z;
  for (int i = 0; i < 60; ++i) {
    f.push_back(std::pow(10.0, -1.0 + 0.1 * i));
    const double wt = 2.0 * M_PI * f.back() * 1e-3;
    z.push_back({1.0 + 10.0 / (1.0 + wt * wt), -10.0 * wt / (1.0 + wt * wt)});
  }
  const CancelFlag set{true};
  const SeriesList circuit = std::get<SeriesList>(parse("R0-p(R1,C1)"));
  const std::vector<std::function<void()>> calls = {
      [&] { kramers_kronig(f, z, KKSettings{.cancel = &set}); },
      [&] { drt(f, z, DRTSettings{.cancel = &set}); },
      [&] { identify(f, z, IdentifySettings{.candidates = {"R0-p(R1,C1)"}, .cancel = &set}); },
      [&] { estimate_values(circuit, f, z, &set); },
  };
  for (const auto& call : calls) EXPECT_THROW(call(), Cancelled);
  // Without a flag they run.
  EXPECT_TRUE(std::holds_alternative<KKResult>(kramers_kronig(f, z, KKSettings{})));
}

}  // namespace
}  // namespace korvex::analysis
