"""A short soak: 300 secure exchanges back to back, every answer right, the gateway's
descriptors, threads and memory flat after warm-up. The long one is soak.py (./dev soak)."""

import os

from harness import BRISCA, SERVSIM, GatewayTest, unittest
from soak import SoakFailure, run_soak


class SoakTest(GatewayTest):

    def test_300_secure_exchanges_leave_no_trace_in_the_process(self):
        sanitized = bool(os.environ.get("BRISCA_SANITIZE"))
        try:
            fig = run_soak(BRISCA, SERVSIM, 300, sanitized)
        except SoakFailure as e:
            self.fail(str(e))
        self.assertEqual(fig["connections"], 3)
        self.assertEqual(len(fig["threads"]), 1)


if __name__ == "__main__":
    unittest.main()
