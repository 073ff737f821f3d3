#!/usr/bin/env python3
"""Which polls scripts/soak holds the relay to, on records written as the
simulator writes them: the sequence that once cost a fault-free poll two
polls after two late ones, and the losses the checker must still catch."""
import importlib.machinery
import importlib.util
import os
import sys
import tempfile
import unittest

SOAK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "soak")
loader = importlib.machinery.SourceFileLoader("soak", SOAK)
spec = importlib.util.spec_from_loader("soak", loader)
soak = importlib.util.module_from_spec(spec)
loader.exec_module(soak)


def packet(n):
    """A marked 99-byte packet whose direction word is n."""
    body = bytearray(99)
    body[0:3] = b"LOO"
    body[16], body[17] = n & 0xFF, n >> 8
    return bytes(body)


class Run:
    """A simulator record built poll by poll, and what the relay published."""

    def __init__(self):
        self.lines, self.published = [], []

    def poll(self, n, fault="none", line_feeds=1, published=True):
        self.lines += [f"poll {n} {fault}", f"request {n} after {line_feeds} line feeds",
                       f"served {n} 99 {packet(n).hex()}"]
        if published:
            self.published.append(soak.weather_text(packet(n)))
        return self

    def failed_wake(self, n, fault):
        self.lines.append(f"poll {n} {fault}")
        return self.closed(n)

    def closed(self, n):
        self.lines.append(f"closed {n}")
        return self

    def check(self, last):
        """The polls checked, those missed and those excused for a late
        answer queued; poll `last` is the one the stop may have cut short."""
        self.lines.append(f"poll {last} none")
        with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as f:
            f.write("\n".join(self.lines) + "\n")
        try:
            faults, served, opening = soak.read_record(f.name)
        finally:
            os.unlink(f.name)
        matched, wrong = soak.match_published(served, self.published)
        assert wrong == 0
        return soak.count_missed(faults, opening, served, matched)


class SoakRule(unittest.TestCase):
    def test_a_late_answer_is_carried_until_the_next_reset(self):
        # Seed 20261208, polls 845 to 849, as the simulator logged them: two
        # late polls publish on the answer left before them, the next clean
        # poll too, and the one after reads the last late answer as its
        # wake-up and its own answer as the acknowledgement.
        run = (Run().failed_wake(1, "wrong-wakeup")
               .poll(2, "late", line_feeds=2).poll(3, "late").poll(4).poll(5, published=False)
               .closed(5).poll(6).poll(7))
        self.assertEqual(run.check(8), (2, [], 2))

    def test_a_slow_answer_is_carried_too(self):
        run = Run().poll(1).poll(2, line_feeds=2).poll(3).poll(4, published=False).closed(4)
        self.assertEqual(run.check(5), (1, [], 2))

    def test_losses_on_a_port_with_nothing_queued_are_caught(self):
        # After a reset, whatever came before it.
        run = Run().poll(1, "late").failed_wake(2, "silent").poll(3, published=False).closed(3)
        self.assertEqual(run.check(4), (1, [3], 0))
        # After a fault that leaves nothing queued, on the same port.
        run = Run().poll(1, "drowsy", line_feeds=4).poll(2).poll(3, published=False).closed(3)
        self.assertEqual(run.check(4), (2, [3], 0))

    def test_nothing_counts_before_the_monitor_hears_the_relay(self):
        run = Run().poll(1, published=False).poll(2).poll(3, published=False).closed(3)
        self.assertEqual(run.check(4), (2, [3], 0))


if __name__ == "__main__":
    sys.exit(unittest.main())
