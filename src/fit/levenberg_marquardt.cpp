#include "fit/levenberg_marquardt.hpp"
