#include <orvane/motion/robots.hpp>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvane::robots {

namespace detail {
extern const char* const lrmate200id_json;
extern const char* const crx10ial_json;
}  // namespace detail

namespace {

std::array<double, 3> vector3(const nlohmann::json& value) {
    return {value.at(0).get<double>(), value.at(1).get<double>(), value.at(2).get<double>()};
}

// Trans(xyz) * RPY(rpy), the chain description's transform rule.
Frame xyz_rpy(const nlohmann::json& xyz, const nlohmann::json& rpy) {
    const auto t = vector3(xyz);
    const auto r = vector3(rpy);
    return Frame::from_euler(t[0], t[1], t[2], r[0], r[1], r[2]);
}

std::shared_ptr<RobotArm> arm_from_description(const char* text, std::string name) {
    const auto description = nlohmann::json::parse(text);
    std::vector<Joint> joints;
    for (const auto& j : description.at("joints")) {
        Joint joint;
        joint.name = j.at("name").get<std::string>();
        joint.type = j.at("type").get<std::string>() == "prismatic" ? Joint::Type::Prismatic : Joint::Type::Revolute;
        joint.origin = xyz_rpy(j.at("origin_xyz"), j.at("origin_rpy"));
        joint.axis = vector3(j.at("axis"));
        joint.limits = {j.at("lower").get<double>(), j.at("upper").get<double>(),
                        j.at("max_velocity").get<double>(), j.at("max_acceleration").get<double>(),
                        j.at("max_jerk").get<double>()};
        joints.push_back(std::move(joint));
    }
    const auto& flange = description.at("link6_to_flange");
    const auto& tool0 = description.at("flange_to_tool0");
    const Frame tool = xyz_rpy(flange.at("xyz"), flange.at("rpy")) * xyz_rpy(tool0.at("xyz"), tool0.at("rpy"));
    auto arm = std::make_shared<RobotArm>(std::move(name), std::move(joints), tool);
    arm->control_rate = fanuc_control_rate;
    return arm;
}

}  // namespace

std::shared_ptr<RobotArm> fanuc_lrmate200id() { return arm_from_description(detail::lrmate200id_json, "lrmate200id"); }

std::shared_ptr<RobotArm> fanuc_crx10ial() { return arm_from_description(detail::crx10ial_json, "crx10ial"); }

}  // namespace orvane::robots
