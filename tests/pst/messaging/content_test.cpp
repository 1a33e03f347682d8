#include "tests/pst/messaging/store_support.hpp"
