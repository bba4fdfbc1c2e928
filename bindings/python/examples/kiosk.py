"""A kiosk: takes bills until the price is paid.  Usage: kiosk.py PRICE [PORT]"""
import sys
import threading
from decimal import Decimal

import notavero

price, port = Decimal(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 1
paid, done = Decimal(0), threading.Event()


def on_stacked(amount):  # runs on the driver's thread: keep it short
    global paid
    paid += amount
    print(f"paid {paid} of {price}", flush=True)
    if paid >= price:
        done.set()


with notavero.Driver(port, on_escrow=lambda amount: not done.is_set(), on_stacked=on_stacked) as driver:
    while not done.wait(0.5):  # (re-)enable whenever the device is idle and disabled
        if driver.status == notavero.DISABLED:
            driver.enabled = True
    driver.enabled = False
    driver.wait_for_status(notavero.DISABLED, timeout=10)
print(f"thank you; change due {paid - price}")
