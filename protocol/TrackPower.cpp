#include "protocol/TrackPower.hpp"

TrackPower& TrackPower::Instance() {
    static TrackPower power;
    return power;
}
