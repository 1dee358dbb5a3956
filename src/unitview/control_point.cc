#include "unitview/control_point.h"

int ControlPoint::relativeSlot() const { return 0; }
std::string ControlPoint::name() const { return ""; }
std::optional<ControlPoint> ParseControlPoint(std::string_view) {
  return std::nullopt;
}
std::optional<ControlPoint> ControlPointOfSlot(int) { return std::nullopt; }
std::vector<ControlPoint> AllControlPoints() { return {}; }
ControlValue CheckControlValue(const ControlPoint&, std::string_view) {
  return {};
}
