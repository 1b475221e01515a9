#!/usr/bin/env python3
"""Writes one gateway batch for the benchmarks, in the shape db_bench uses.

  make_batch.py OUT [--readings N] [--clients N] [--events N] [--first-meter-id N]
                    [--bad-first-reading] [--size BYTES]

Readings carry unique meter ids (first-meter-id + index) and cycle over the
clients' node ids; every element passes the batch rules, so the service
answers 200 with clients + readings + events rows. --size adds readings
while they fit and pads with trailing blanks to exactly that many bytes (the
4 MiB memory burst), and
--bad-first-reading gives the first reading node_id 0, which the service
refuses with 422 after parsing the whole document.
Prints the row counts and the byte size as key=value words.
"""

import argparse


def client(node_id):
    return ('{"node_id":%d,"chip":"ESP32-C6","fw_version":"1.4.2","last_seen":"2024-05-01T11:59:30Z",'
            '"last_rssi_dbm":-71.5,"last_lqi":200}' % node_id)


def reading(node_id, meter_id, volume):
    return ('{"node_id":%d,"meter_id":%d,"protocol":7,"volume_gal":%d,"flow_gpm":1.25,"freq_hz":868,'
            '"rssi_dbm":-80.5,"gateway_received_at":"2024-05-01T11:58:00.250Z"}' % (node_id, meter_id, volume))


EVENT = ('{"node_id":3,"event_type":"radio_stats","payload":{"rx":1200,"crc_errors":3},'
         '"gateway_received_at":"2024-05-01T11:59:00Z"}')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--readings", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--events", type=int, default=20)
    parser.add_argument("--first-meter-id", type=int, default=1)
    parser.add_argument("--bad-first-reading", action="store_true")
    parser.add_argument("--size", type=int, default=0)
    args = parser.parse_args()

    clients = [client(i + 1) for i in range(args.clients)]
    events = [EVENT] * args.events
    head = '{"batch_window_end":"2024-05-01T12:00:00Z","clients":[' + ",".join(clients) + '],"readings":['
    tail = '],"events":[' + ",".join(events) + "]}"

    readings = []
    size = len(head) + len(tail)
    i = 0
    while True:
        node_id = 0 if (i == 0 and args.bad_first_reading) else i % max(args.clients, 1) + 1
        text = reading(node_id, args.first_meter_id + i, 100000 + i)
        grown = size + len(text) + (1 if i else 0)
        if args.size:
            if grown > args.size:
                break
        elif i >= args.readings:
            break
        readings.append(text)
        size = grown
        i += 1

    body = head + ",".join(readings) + tail
    if args.size:
        body += " " * (args.size - len(body))
    with open(args.out, "w", encoding="ascii") as f:
        f.write(body)
    print("clients=%d readings=%d events=%d bytes=%d" % (len(clients), len(readings), len(events), len(body)))


if __name__ == "__main__":
    main()
