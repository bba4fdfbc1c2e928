"""A kiosk that takes bills until a price is paid.

    usage: python3 kiosk.py DEVICE PRICE        e.g. kiosk.py /dev/ttyUSB0 150

The driver runs on its own thread: it asks on_escrow about every bill in
escrow (truthy: stack it) and calls on_stacked once a bill is in the
cassette.  Amounts are decimal.Decimal currency units.
"""

import sys
import threading
from decimal import Decimal

import notavero

device, price = sys.argv[1], Decimal(sys.argv[2])
paid, done = Decimal(0), threading.Event()


def on_stacked(amount):  # runs on the driver's thread: keep it short
    global paid
    paid += amount
    print(f"paid {paid} of {price}", flush=True)
    if paid >= price:
        done.set()


with notavero.Driver(device=device, on_escrow=lambda amount: not done.is_set(),
                     on_stacked=on_stacked) as driver:
    driver.enabled = True  # the request stands: on once the bill table is read, again after a power cut
    done.wait()
    driver.enabled = False
    driver.wait_for_state(notavero.State.DISABLED, timeout=10)
print(f"thank you; change due {paid - price}")
