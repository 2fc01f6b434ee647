// The conversion of one export from the host's axes into the file's: points become p * k,
// transforms inverse * T * k.
#pragma once

#include "host/math.h"

namespace vorn {

struct CoordinateConversion {
  Matrix3 k;
  Matrix3 inverse;

  // A host-space transform in the file's axes.
  Matrix3 Convert(const Matrix3& t) const { return inverse * t * k; }
};

}  // namespace vorn
