// Private entries of the analysis tools; korvex.analysis wraps their dicts
// into result classes.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <complex>
#include <cstring>
#include <memory>

#include "analysis/drt.hpp"
#include "analysis/identify.hpp"
#include "analysis/kramers_kronig.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/fit_result.hpp"
#include "python/interruptible.hpp"

namespace korvex::py {
namespace {

using analysis::DRTBasis;
using analysis::KKChoice;
using analysis::KKFit;

// A NumPy array owning a copy of `values` through a capsule.
template <typename Out, typename In>
nb::object to_numpy(const std::vector<In>& values) {
  static_assert(sizeof(In) == sizeof(Out));
  const std::size_t n = values.size();
  std::unique_ptr<Out[]> buffer(new Out[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(buffer.get(), values.data(), n * sizeof(Out));
  nb::capsule owner(buffer.get(), [](void* p) noexcept { delete[] static_cast<Out*>(p); });
  Out* data = buffer.release();
  return nb::cast(nb::ndarray<nb::numpy, Out, nb::ndim<1>>(data, {n}, owner));
}
nb::object real_array(const std::vector<double>& v) { return to_numpy<double>(v); }
nb::object complex_array(const std::vector<Complex>& v) {
  return to_numpy<std::complex<double>>(v);
}

template <typename T>
const T& value_or_raise(const std::variant<T, std::string>& result) {
  if (const auto* message = std::get_if<std::string>(&result)) {
    throw nb::value_error(message->c_str());
  }
  return std::get<T>(result);
}

template <typename Enum, std::size_t N>
Enum parse_choice(const std::string& value, const char* arg,
                  const std::pair<const char*, Enum> (&choices)[N]) {
  std::string expected;
  for (const auto& [name, choice] : choices) {
    if (value == name) return choice;
    expected += std::string(expected.empty() ? "" : ", ") + '"' + name + '"';
  }
  throw nb::value_error(
      (std::string("unknown ") + arg + " \"" + value + "\", expected one of " + expected).c_str());
}

nb::dict kramers_kronig(nb::handle frequencies, nb::handle impedances, std::optional<double> c,
                        std::optional<std::size_t> max_m, bool add_capacitance, bool add_inductance,
                        const std::string& fit, double floor, const std::string& choose_m) {
  static constexpr std::pair<const char*, KKFit> kFits[] = {
      {"complex", KKFit::Complex}, {"real", KKFit::Real}, {"imag", KKFit::Imaginary}};
  static constexpr std::pair<const char*, KKChoice> kChoices[] = {
      {"residuals", KKChoice::Residuals}, {"linkk", KKChoice::LinKK}};
  analysis::KKSettings s;
  s.choice = parse_choice(choose_m, "choose_m", kChoices);
  s.c = c;
  s.max_m = max_m;
  s.add_capacitance = add_capacitance;
  s.add_inductance = add_inductance;
  s.fit = parse_choice(fit, "fit", kFits);
  s.floor = floor;
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  const auto result = run_interruptible<analysis::KKResultOr>([&](const CancelFlag* cancel) {
    s.cancel = cancel;
    return analysis::kramers_kronig(spectrum.frequencies, spectrum.impedances, s);
  });
  const analysis::KKResult& r = value_or_raise(result);
  nb::dict d;
  d["frequencies"] = real_array(spectrum.frequencies);
  d["impedances"] = complex_array(spectrum.impedances);
  d["m"] = r.m;
  d["m_lower"] = r.m_lower;
  d["mu"] = r.mu;
  d["tau"] = real_array(r.tau);
  d["r"] = real_array(r.r);
  d["series_resistance"] = r.series_resistance;
  d["inductance"] = r.inductance;
  d["inverse_capacitance"] = r.inverse_capacitance;
  d["z_fit"] = complex_array(r.z_fit);
  d["residuals_real"] = real_array(r.residuals_real);
  d["residuals_imag"] = real_array(r.residuals_imag);
  d["pseudo_chi_square"] = r.pseudo_chi_square;
  d["noise"] = r.noise;
  d["threshold"] = r.threshold;
  d["local_threshold"] = real_array(r.local_threshold);
  d["valid"] = r.valid;
  return d;
}

nb::dict drt(nb::handle frequencies, nb::handle impedances, std::optional<double> lam,
             const std::string& basis, bool nonneg, bool inductance, double fwhm) {
  static constexpr std::pair<const char*, DRTBasis> kBases[] = {
      {"gaussian", DRTBasis::Gaussian}, {"inverse_quadratic", DRTBasis::InverseQuadratic}};
  analysis::DRTSettings s;
  s.lam = lam;
  s.basis = parse_choice(basis, "basis", kBases);
  s.nonneg = nonneg;
  s.inductance = inductance;
  s.fwhm = fwhm;
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  const auto result = run_interruptible<analysis::DRTResultOr>([&](const CancelFlag* cancel) {
    s.cancel = cancel;
    return analysis::drt(spectrum.frequencies, spectrum.impedances, s);
  });
  const analysis::DRTResult& r = value_or_raise(result);
  std::vector<double> peak_tau, peak_r, peak_width;
  for (const auto& p : r.peaks) {
    peak_tau.push_back(p.tau);
    peak_r.push_back(p.r);
    peak_width.push_back(p.width);
  }
  nb::dict d;
  d["frequencies"] = real_array(spectrum.frequencies);
  d["impedances"] = complex_array(spectrum.impedances);
  d["tau"] = real_array(r.tau);
  d["gamma"] = real_array(r.gamma);
  d["r_inf"] = r.r_inf;
  d["l"] = r.l;
  d["lam"] = r.lam;
  d["centres"] = real_array(r.centres);
  d["coefficients"] = real_array(r.coefficients);
  d["z_fit"] = complex_array(r.z_fit);
  d["residuals_real"] = real_array(r.residuals_real);
  d["residuals_imag"] = real_array(r.residuals_imag);
  d["peak_tau"] = real_array(peak_tau);
  d["peak_r"] = real_array(peak_r);
  d["peak_width"] = real_array(peak_width);
  return d;
}

nb::list identify(nb::handle frequencies, nb::handle impedances,
                  std::vector<std::string> candidates, const std::string& criterion,
                  double misfit_ratio) {
  static constexpr std::pair<const char*, analysis::Criterion> kCriteria[] = {
      {"bic", analysis::Criterion::BIC}, {"aic", analysis::Criterion::AIC}};
  analysis::IdentifySettings s;
  s.candidates = std::move(candidates);
  s.criterion = parse_choice(criterion, "criterion", kCriteria);
  s.misfit_ratio = misfit_ratio;
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  const auto result = run_interruptible<analysis::IdentifyOr>([&](const CancelFlag* cancel) {
    s.cancel = cancel;
    return analysis::identify(spectrum.frequencies, spectrum.impedances, s);
  });
  const analysis::IdentifyOutcome& out = value_or_raise(result);
  nb::list ranked;
  for (const analysis::Ranked& r : out.ranked) {
    nb::dict d;
    d["circuit"] = r.circuit;
    d["fit"] = r.fit ? wrap_fit_result(*r.fit) : nb::object(nb::none());
    d["error"] = r.error;
    d["n_params"] = r.n_params;
    d["aic"] = r.aic;
    d["bic"] = r.bic;
    d["criterion"] = r.criterion;
    d["weight"] = r.weight;
    d["flags"] = r.flags;
    ranked.append(d);
  }
  return ranked;
}

}  // namespace

void register_analysis(nb::module_& m) {
  m.def("_kramers_kronig", &kramers_kronig, nb::arg("frequencies"), nb::arg("impedances").none(),
        nb::arg("c").none(), nb::arg("max_m").none(), nb::arg("add_capacitance"),
        nb::arg("add_inductance"), nb::arg("fit"), nb::arg("floor"), nb::arg("choose_m"),
        "Private: the Lin-KK test as a dict; korvex.kramers_kronig wraps it.");
  m.def("_drt", &drt, nb::arg("frequencies"), nb::arg("impedances").none(), nb::arg("lam").none(),
        nb::arg("basis"), nb::arg("nonneg"), nb::arg("inductance"), nb::arg("fwhm"),
        "Private: the DRT as a dict; korvex.drt wraps it.");
  m.def("_identify", &identify, nb::arg("frequencies"), nb::arg("impedances").none(),
        nb::arg("candidates"), nb::arg("criterion"), nb::arg("misfit_ratio"),
        "Private: ranked candidate fits as dicts; korvex.identify wraps them.");
}

}  // namespace korvex::py
