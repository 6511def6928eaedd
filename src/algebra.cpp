#include "algebra.h"
