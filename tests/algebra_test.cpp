#include "algebra.h"

#include <gtest/gtest.h>
