"""Timing helper shared by the benchmarks."""

import timeit


def best_seconds(fn, budget):
    """Best time per call over many short batches (about 2 ms each) within
    `budget` seconds: on a shared machine the short batches that ran
    undisturbed give the figure a quiet machine would."""
    timer = timeit.Timer(fn)
    number = 1
    while timer.timeit(number) < 2e-3:
        number *= 2
    best, spent = float("inf"), 0.0
    while spent < budget or best == float("inf"):
        t = timer.timeit(number)
        best, spent = min(best, t / number), spent + t
    return best
