#include "controller/layout.h"

namespace wenlo::controller {

std::unordered_map<std::string, std::uint8_t> get_motor_name_id() {
    std::unordered_map<std::string, std::uint8_t> map;
    for (const ServoSlot& servo : kServos) {
        map.emplace(std::string(servo.name), servo.id);
    }
    return map;
}

}  // namespace wenlo::controller
