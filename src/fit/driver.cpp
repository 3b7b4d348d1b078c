#include "fit/driver.hpp"
