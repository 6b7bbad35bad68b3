#pragma once

// The motion library: robot models, planning and the Kelvra client.
#include <orvane/motion/environment.hpp>
#include <orvane/motion/error.hpp>
#include <orvane/motion/frame.hpp>
#include <orvane/motion/kelvra.hpp>
#include <orvane/motion/limit_table.hpp>
#include <orvane/motion/motion.hpp>
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/robots.hpp>
#include <orvane/motion/trajectory.hpp>
#include <orvane/motion/version.hpp>
#include <orvane/motion/waypoint.hpp>
