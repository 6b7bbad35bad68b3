"""Futures of the asynchronous operations: done(), waits with a time limit,
and an await that sleeps in asyncio instead of polling."""

import asyncio

import pytest

import orvane_driver_fanuc as fanuc
from conftest import wait_until, long_trajectory

GOAL = [0.4, 0.2, -0.1, 0.3, -0.5, 0.8]


def test_a_timed_out_wait_raises_and_leaves_the_motion_running(enabled, simulator):
    future = enabled.run_async(long_trajectory(enabled.current_joint_position, GOAL, duration=3.0))
    assert not future.done()
    with pytest.raises(TimeoutError):
        future.get(timeout=0.2)
    with pytest.raises(TimeoutError):
        future.wait(0.1)
    start = simulator.status()["joints"]
    assert wait_until(lambda: simulator.status()["joints"] != start), "the motion stopped at the time-out"
    assert future.get(timeout=30.0) == fanuc.Result.Success
    assert future.done() and future.wait(timeout=0.0) is None
    with pytest.raises(ValueError):
        future.get(timeout=-1.0)


def test_inside_asyncio_the_await_sleeps_on_an_asyncio_future(enabled):
    future = enabled.run_async(long_trajectory(enabled.current_joint_position, GOAL, duration=1.5))

    async def main():
        # What the task is handed while the motion runs: a future of its own
        # loop (it sleeps until the driver completes it), not None (which would
        # wake it again at the next turn of the loop).
        waiter = future.__await__().__next__()
        assert isinstance(waiter, asyncio.Future) and waiter.get_loop() is asyncio.get_running_loop()
        done, _ = await asyncio.wait([waiter], timeout=30.0)  # completed when the motion ends
        assert done == {waiter} and future.done()
        return await future

    assert asyncio.run(main()) == fanuc.Result.Success
    # Outside a running loop the by-hand poll is unchanged.
    with pytest.raises(StopIteration):
        future.__next__()



def test_a_future_runs_beside_other_tasks_through_ensure_future(enabled):
    start = enabled.current_joint_position

    async def main():
        motion = asyncio.ensure_future(enabled.move_to_async(GOAL))
        ticks = 0
        while not motion.done():
            ticks += 1
            await asyncio.sleep(0.01)
        back = await asyncio.gather(enabled.move_to_async(point=start))
        return motion.result(), back, ticks

    result, back, ticks = asyncio.run(main())
    assert result == fanuc.Result.Success and back == [fanuc.Result.Success]
    assert ticks > 0  # the loop went on while the robot moved

    finished = enabled.move_to_async(start)
    assert finished.get(timeout=30.0) == fanuc.Result.Success

    async def as_task():
        return asyncio.create_task(finished)

    with pytest.raises(TypeError, match="coroutine"):
        asyncio.run(as_task())  # what the README warns of: a future is no coroutine
