"""The Python module against dottrack-export, on frames of every layout and on bad input.

Run by ctest, which sets PYTHONPATH to the module's folder, DOTTRACK_EXPORT to the export
program and DOTTRACK_TEST_VIDEO to a short sample video.
"""

import csv
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

import dottrack

EXPORT = os.environ["DOTTRACK_EXPORT"]
VIDEO = os.environ["DOTTRACK_TEST_VIDEO"]
MOTION_FIELDS = ["tx", "ty", "rotation_deg", "scale", "shear_1", "shear_2", "rms"]


def read_csv(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def export(passes=None):
    """The export's track rows of the test video, and its motion rows when it writes them."""
    options = ["--passes", str(passes)] if passes else []
    writes_motion = "--motion" in subprocess.run(
        [EXPORT, "--help"], capture_output=True, text=True, check=True).stdout
    with tempfile.TemporaryDirectory() as folder:
        tracks, motion = os.path.join(folder, "tracks.csv"), os.path.join(folder, "motion.csv")
        if writes_motion:
            options += ["--motion", motion]
        subprocess.run([EXPORT, VIDEO, "--out", tracks, "--quiet", *options], check=True)
        return read_csv(tracks), read_csv(motion) if writes_motion else None


def points(rows, x, y):
    """Two CSV columns as float32 points; an empty field is NaN."""
    return np.array([[np.float32(row[name] or "nan") for name in (x, y)] for row in rows])


def assert_bits(got, want, what):
    """Float32 values equal bit for bit, NaN where NaN is wanted."""
    got, want = np.asarray(got, np.float32), np.asarray(want, np.float32)
    known = ~np.isnan(want)
    equal = np.array_equal(np.isnan(got), ~known) and np.array_equal(
        got[known].view(np.uint32), want[known].view(np.uint32))
    assert equal, f"{what}: got {got}, want {want}"


class SameAsExport(unittest.TestCase):
    def check_run(self, passes):
        track_rows, motion_rows = export(passes)
        runs = list(dottrack.track(VIDEO, passes=passes))
        self.assertEqual(30 * len(runs), len(track_rows))
        # The centres and displacements are checked once the export writes them.
        measured = "centre_x" in track_rows[0]
        for number, frame, result in runs:
            rows = track_rows[30 * number:30 * number + 30]
            where = f"pass {number}"
            self.assertEqual({(number, frame)}, {(int(r["pass"]), int(r["frame"])) for r in rows})
            assert_bits(result.ref, points(rows, "ref_x", "ref_y"), where)
            assert_bits(result.markers, points(rows, "x", "y"), where)
            np.testing.assert_array_equal(result.assignment, [int(r["target"]) for r in rows])
            held = result.assignment >= 0
            assert_bits(result.targets[result.assignment[held]],
                        points(rows, "target_x", "target_y")[held], where)
            if measured:
                assert_bits(result.centres, points(rows, "centre_x", "centre_y"), where)
                assert_bits(result.displacements, points(rows, "disp_x", "disp_y"), where)
            if motion_rows is not None:
                fitted = motion_rows[number]
                self.assertEqual(fitted["tx"] == "", result.motion is None, where)
                if result.motion is not None:
                    self.assertEqual([float(fitted[name]) for name in MOTION_FIELDS],
                                     [getattr(result.motion, name) for name in MOTION_FIELDS])
                    self.assertEqual((int(fitted["markers"]), int(fitted["inliers"])),
                                     (result.motion.markers, result.motion.inliers))
        return runs

    def test_one_trip_gives_the_exports_numbers(self):
        runs = self.check_run(None)
        frames = [frame for _, frame, _ in runs]
        self.assertEqual(frames, list(range(46, 80, 2)))
        self.assertTrue(any(result.motion is not None for _, _, result in runs))

    def test_more_passes_start_the_video_over(self):
        runs = self.check_run(25)
        self.assertEqual(runs[17][1], 0)


def dotted_frame(shift, size=(700, 900)):
    """A lit, textured BGR surface with 40 dark dots, moved by `shift` pixels (x, y)."""
    rng = np.random.default_rng(7)
    image = 170 + rng.integers(0, 20, size, dtype=np.int32)
    y, x = np.mgrid[-8:9, -8:9]
    for cx, cy in rng.uniform((40, 40), (600, 440), (40, 2)) + shift:
        ix, iy = int(cx), int(cy)
        dot = 120 * np.exp(-((x + ix - cx) ** 2 + (y + iy - cy) ** 2) / 18)
        image[iy - 8:iy + 9, ix - 8:ix + 9] -= dot.astype(np.int32)
    # Channels that differ in noise show one taken for another.
    blue, red = rng.integers(0, 256, size), image - rng.integers(0, 40, size)
    return np.dstack([blue, image, red]).astype(np.uint8)


class FramesFromNumpy(unittest.TestCase):
    frames = [dotted_frame((1.5 * k, 0.75 * k)) for k in range(3)]

    def test_any_view_gives_the_same_as_a_packed_copy(self):
        views = {
            "rows of a larger image": lambda big: big[10:500, 20:700],
            "rows upside down": lambda big: big[::-1],
            "channels reversed": lambda big: big[..., ::-1].copy()[..., ::-1],
            "every second pixel": lambda big: np.repeat(np.repeat(big, 2, 0), 2, 1)[::2, ::2],
            "column-major": np.asfortranarray,
        }
        for name, view in views.items():
            with self.subTest(name):
                from_views, from_copies = dottrack.Tracker(), dottrack.Tracker()
                for frame in self.frames:
                    got = from_views.process(view(frame))
                    want = from_copies.process(np.ascontiguousarray(view(frame)))
                    for field in ("targets", "ref", "markers", "centres", "displacements"):
                        assert_bits(getattr(got, field), getattr(want, field), field)
                    np.testing.assert_array_equal(got.assignment, want.assignment)
                    self.assertEqual(repr(got.motion), repr(want.motion))
                self.assertGreater((got.assignment >= 0).sum(), 20)
                self.assertIsNotNone(got.motion)

    def test_bad_frames_raise_value_error_and_count_no_pass(self):
        tracker = dottrack.Tracker()
        good = self.frames[0]
        for bad in [None, good.tolist(), good.astype(np.float32), good[..., 0],
                    np.dstack([good, good[..., :1]]), good[:479], good[:, :639],
                    good[:0], good.astype(np.int64)]:
            with self.assertRaises(ValueError) as caught:
                tracker.process(bad)
            self.assertNotIn("\n", str(caught.exception))
        self.assertEqual(tracker.passes, 0)
        tracker.process(good)
        self.assertEqual(tracker.passes, 1)

    def test_sources_that_cannot_be_opened_raise_os_error(self):
        for source in ["no-such-video.avi", __file__, 99]:
            with self.subTest(source), self.assertRaises(OSError) as caught:
                dottrack.track(source)
            self.assertNotIn("\n", str(caught.exception))
        with self.assertRaises(ValueError):
            dottrack.track(VIDEO, passes=0)

    def test_other_threads_run_during_a_pass(self):
        tracker, counted, stop = dottrack.Tracker(), [0], threading.Event()

        def count():
            while not stop.is_set():
                counted[0] += 1
                time.sleep(0.0005)

        # No forced switches: the counter runs only while the GIL is given up.
        interval = sys.getswitchinterval()
        sys.setswitchinterval(100)
        counter = threading.Thread(target=count)
        try:
            counter.start()
            before = counted[0]
            for _ in range(200):
                tracker.process(self.frames[0])
                if counted[0] > before:
                    break
        finally:
            stop.set()
            counter.join()
            sys.setswitchinterval(interval)
        self.assertGreater(counted[0], before)


if __name__ == "__main__":
    unittest.main()
