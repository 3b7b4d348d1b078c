#include "models/circuit_guess.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "common/format.hpp"
#include "models/registry.hpp"

namespace korvex::models {
namespace {

struct Resolved {
  const nn::Guesser* guesser;
  SharedGuesser keep_alive;  // a model from disk, which the cache may drop meanwhile
  TopologyMatch match;
  std::size_t model_params;  // parameters of the model's circuit
};

using Resolution = std::variant<Resolved, std::string>;

Resolution resolve_external(const SeriesList& user, const std::string& path) {
  const auto guesser = load_external(path);
  if (!guesser) return guesser.error().message();
  const std::string& text = (*guesser)->circuit;
  auto parsed = parse(text);
  const auto* model = std::get_if<SeriesList>(&parsed);
  if (!model) {
    return nn::NnError::unparsable("circuit " + debug_string(text) + " in " + path).message();
  }
  auto match = match_or_expand(*model, user);
  if (!match) {
    return nn::NnError::unparsable(path + " was trained for " + debug_string(text) +
                                   ", which is a different circuit")
        .message();
  }
  return Resolved{guesser->get(), *guesser, std::move(*match), param_count(*model)};
}

Resolution resolve_builtin(const SeriesList& user) {
  auto found = find_for_topology(user);
  if (!found) return no_model_message();
  const Model& model = *found->model;
  if (!model.has_weights()) return missing_weights_message(model.name());
  const GuesserOrError& loaded = model.guesser();
  if (const auto* failure = std::get_if<std::string>(&loaded)) {
    return nn::NnError::unparsable(*failure).message();
  }
  return Resolved{&std::get<nn::Guesser>(loaded),
                  nullptr,
                  {std::move(found->map), found->expanded},
                  param_count(*model.topology())};
}

// The spelled-out pairs' values turned back into the user's K and Zarc
// parameters; every other element's values pass through.
std::vector<double> contract(const SeriesList& circuit, const std::vector<double>& values) {
  std::vector<double> out;
  out.reserve(param_count(circuit));
  std::size_t next = 0;
  const auto take = [&] { return next < values.size() ? values[next++] : std::nan(""); };
  for (const Leaf& leaf : collect_leaves(circuit)) {
    const Kind kind = leaf.element->kind;
    if (kind == Kind::K) {
      const double r = take(), c = take();
      out.insert(out.end(), {r, r * c});
    } else if (kind == Kind::Zarc) {
      const double r = take(), q = take(), alpha = take();
      const double exponent_base = std::isnan(alpha) ? 1e-6 : alpha;
      out.insert(out.end(), {r, std::pow(r * q, 1.0 / std::max(exponent_base, 1e-6)), alpha});
    } else {
      for (std::size_t i = 0; i < field_count(kind); ++i) out.push_back(take());
    }
  }
  return out;
}

}  // namespace

std::string no_model_message() {
  return "No training data on this circuit. Machine-learning based initial parameters "
         "available for " +
         quoted_names();
}

GuessOutcome guess_params(const SeriesList& circuit, std::span<const double> frequencies,
                          std::span<const Complex> impedances,
                          const std::optional<std::string>& weights_path) {
  Resolution resolution =
      weights_path ? resolve_external(circuit, *weights_path) : resolve_builtin(circuit);
  if (auto* failure = std::get_if<std::string>(&resolution)) return std::move(*failure);
  const Resolved& model = std::get<Resolved>(resolution);

  if (frequencies.size() < 2 || impedances.size() < 2) {
    return nn::NnError::too_few_points(std::min(frequencies.size(), impedances.size())).message();
  }
  auto predicted = model.guesser->predict(frequencies, impedances);
  if (!predicted) return predicted.error().message();

  const std::vector<double>& values = *predicted;
  const ParamMap& map = model.match.map;
  std::vector<double> out(map.size());
  for (std::size_t j = 0; j < map.size(); ++j) {
    // A file may predict fewer values than its own circuit has parameters.
    if (map[j] >= values.size()) {
      return nn::NnError::tensor_size("target_mean", model.model_params, values.size()).message();
    }
    out[j] = values[map[j]];
  }
  if (!model.match.expanded) return out;
  return contract(circuit, out);
}

}  // namespace korvex::models
