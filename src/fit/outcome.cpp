#include "fit/outcome.hpp"
