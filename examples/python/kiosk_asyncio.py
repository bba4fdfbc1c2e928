"""The kiosk of kiosk.py inside an asyncio program: the driver's events are
read with `async for`, so the loop stays free for the rest of the kiosk
(its screen, its network).

    usage: python3 kiosk_asyncio.py DEVICE PRICE
"""

import asyncio
import sys
from decimal import Decimal

import notavero
from notavero import EventKind, State


async def take_payment(device, price):
    paid = Decimal(0)
    # on_escrow runs on the driver's thread and must answer at once: it reads
    # `paid`, which only this coroutine changes.
    with notavero.Driver(device=device, on_escrow=lambda amount: paid < price) as driver:
        events = driver.aevents()  # made inside the loop; sees every event from now on
        driver.enabled = True
        async for event in events:
            if event.kind == EventKind.STATE:
                print("state", event.name, flush=True)
                if paid >= price and event.state == State.DISABLED:
                    break  # acceptance is off: the driver may go
            elif event.kind == EventKind.BILL_STACKED:
                paid += event.amount
                print(f"paid {paid} of {price}", flush=True)
                if paid >= price:
                    driver.enabled = False
    return paid - price


change = asyncio.run(take_payment(sys.argv[1], Decimal(sys.argv[2])))
print(f"thank you; change due {change}")
