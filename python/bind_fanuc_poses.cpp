// Poses in the controller's terms as goals: the controller's world frame
// beside the planner's base frame, and move_to / move_to_async taking a
// CartesianPose (its user frame and tool read from the controller).

#include <future>
#include <memory>
#include <optional>

#include <orvane/drivers/fanuc/fanuc_controller_types.hpp>
#include <orvane/drivers/fanuc/fanuc_driver.hpp>
#include <orvane/drivers/fanuc/fanuc_world_frame.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::CartesianPose;
using drivers::FanucDriver;
using drivers::Result;

// Driver's own binding of `name`, which FanucDriver's overloads below hide:
// the joint and waypoint goals go on to it unchanged.
py::object driver_method(const char* name) { return py::type::of<Driver>().attr(name); }

std::optional<orvane::CartesianWaypoint> convert(FanucDriver& driver, const CartesianPose& pose) {
    // May read a user frame and a tool from the controller.
    py::gil_scoped_release release;
    return driver.to_planner_waypoint(pose);
}

constexpr const char* move_to_doc =
    "Move to an exact waypoint.\n\n"
    "A CartesianPose (as current_cartesian_position or a position register gives it) is\n"
    "reached in its user frame with its tool, both read from the controller; the\n"
    "planner chooses the arm's configuration from where the motion starts.";
constexpr const char* move_to_async_doc =
    "Move to an exact waypoint asynchronously.\n\n"
    "A CartesianPose is reached in its user frame with its tool (see move_to).";

}  // namespace

void bind_fanuc_poses(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver) {
    m.def("world_frame_in_base", &drivers::world_frame_in_base, py::arg("arm"),
          "The controller's world frame (user frame 0) in the arm's base frame: on the J1 axis at the\n"
          "height of J2 (0.330 m above the base of an LR Mate 200iD, 0.245 m for a CRX-10iA/L).");
    m.def("world_to_base", &drivers::world_to_base, py::arg("arm"), py::arg("pose"),
          "A pose in the controller's world frame, in the arm's base frame (the planner's).");
    m.def("base_to_world", &drivers::base_to_world, py::arg("arm"), py::arg("pose"),
          "A pose in the arm's base frame (the planner's), in the controller's world frame.");

    driver
        .def(
            "to_planner_waypoint",
            [](FanucDriver& self, const CartesianPose& pose) { return convert(self, pose); }, py::arg("pose"),
            "The planner's CartesianWaypoint for a pose of the controller: the faceplate in the arm's\n"
            "base frame, with the pose's user frame and tool read from the controller. None (and the\n"
            "reason in last_error) when a frame or tool cannot be read.")
        .def(
            "move_to",
            [](const py::object& self, const CartesianPose& goal, bool ignore_collisions) -> py::object {
                const auto waypoint = convert(self.cast<FanucDriver&>(), goal);
                if (!waypoint) return py::cast(Result::Error);
                return driver_method("move_to")(self, *waypoint, ignore_collisions);
            },
            py::arg("goal"), py::arg("ignore_collisions") = false, move_to_doc)
        .def(
            "move_to",
            [](const py::object& self, const py::object& goal, const py::object& ignore_collisions) {
                return driver_method("move_to")(self, goal, ignore_collisions);
            },
            py::arg("goal"), py::arg("ignore_collisions") = false, move_to_doc)
        .def(
            "move_to_async",
            [](const std::shared_ptr<FanucDriver>& self, const CartesianPose& point, bool ignore_collisions) {
                std::shared_future<Result> future;
                {
                    py::gil_scoped_release release;
                    future = self->move_to_async(point, ignore_collisions);
                }
                return FutureResult(std::move(future), std::static_pointer_cast<Driver>(self));
            },
            py::arg("point"), py::arg("ignore_collisions") = false, move_to_async_doc)
        .def(
            "move_to_async",
            [](const py::object& self, const py::object& point, const py::object& ignore_collisions) {
                return driver_method("move_to_async")(self, point, ignore_collisions);
            },
            py::arg("point"), py::arg("ignore_collisions") = false, move_to_async_doc);
}

}  // namespace orvane::python
