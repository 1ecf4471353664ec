#!/usr/bin/env python3
"""The Python reference for scripts/bench.sh: what a standard-library client does with the same
answers (json.loads, then one dict of the record's fields per machine).

  python_client.py parse FILE RUNS         median time of json.loads + dicts over RUNS runs
  python_client.py rss FILE                reads FILE, parses it once, prints the peak RSS
  python_client.py paged ADDR USER PASSWORD PAGESIZE
                                           login, every page of listVirtualMachines, json.loads, dicts
  python_client.py small ADDR USER PASSWORD CALLS
                                           login, CALLS listZones on one keep-alive connection

Output lines are "name value" pairs.
"""

import http.client
import json
import resource
import statistics
import sys
import time
import urllib.parse

VM_FIELDS = ("id", "name", "displayname", "state", "hypervisor", "instancename", "account", "userid",
             "username", "domainid", "domain", "zoneid", "zonename", "hostid", "hostname", "templateid",
             "templatename", "templatedisplaytext", "cpunumber", "cpuspeed", "memory", "guestosid", "ostypeid")
ZONE_FIELDS = ("id", "name", "allocationstate")


def records(body, response_key, item_key, fields):
    answer = json.loads(body)[response_key]
    return answer.get("count"), [{k: item.get(k) for k in fields} for item in answer.get(item_key, ())]


def peak_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def parse(path, runs):
    with open(path, "rb") as f:
        body = f.read()
    wall, cpu = [], []
    for _ in range(runs):
        start, start_cpu = time.perf_counter(), time.thread_time()
        _, vms = records(body, "listvirtualmachinesresponse", "virtualmachine", VM_FIELDS)
        wall.append((time.perf_counter() - start) * 1e3)
        cpu.append((time.thread_time() - start_cpu) * 1e3)
        del vms
    print(f"body_bytes {len(body)}")
    print(f"python_ms {statistics.median(wall):.2f}")
    print(f"python_cpu_ms {statistics.median(cpu):.2f}")


def rss(path):
    with open(path, "rb") as f:
        body = f.read()
    before = peak_rss_kib()
    _, vms = records(body, "listvirtualmachinesresponse", "virtualmachine", VM_FIELDS)
    print(f"body_bytes {len(body)}")
    print(f"machines {len(vms)}")
    print(f"rss_before_kib {before}")
    print(f"peak_rss_kib {peak_rss_kib()}")


class Session:
    """A logged-in session on one keep-alive connection, as current servers want it: the session
    key as cookie and as parameter."""

    def __init__(self, address, user, password):
        self.conn = http.client.HTTPConnection(address, 8080)
        form = urllib.parse.urlencode({"command": "login", "username": user, "password": password,
                                       "response": "json"})
        self.conn.request("POST", "/client/api", body=form,
                          headers={"Content-Type": "application/x-www-form-urlencoded"})
        reply = self.conn.getresponse()
        body = reply.read()
        if reply.status != 200:
            raise SystemExit(f"login failed: HTTP {reply.status} {body[:200]!r}")
        cookies = []
        for name, value in reply.getheaders():
            if name.lower() == "set-cookie":
                cookies.append(value.split(";", 1)[0])
        self.cookie = "; ".join(cookies)
        self.key = json.loads(body)["loginresponse"]["sessionkey"]

    def get(self, params):
        query = urllib.parse.urlencode(dict(params, response="json", sessionkey=self.key))
        self.conn.request("GET", "/client/api?" + query, headers={"Cookie": self.cookie})
        reply = self.conn.getresponse()
        body = reply.read()
        if reply.status != 200:
            raise SystemExit(f"{params.get('command')} failed: HTTP {reply.status} {body[:200]!r}")
        return body


def paged(address, user, password, page_size):
    start, start_cpu = time.perf_counter(), time.process_time()
    session = Session(address, user, password)
    vms, page, total = [], 1, None
    while total is None or len(vms) < total:
        body = session.get({"command": "listVirtualMachines", "listall": "true", "page": str(page),
                            "pagesize": str(page_size)})
        count, items = records(body, "listvirtualmachinesresponse", "virtualmachine", VM_FIELDS)
        if not items:
            break
        total = count if count is not None else 0
        vms.extend(items)
        page += 1
    print(f"machines {len(vms)}")
    print(f"pages {page - 1}")
    print(f"wall_ms {(time.perf_counter() - start) * 1e3:.1f}")
    print(f"cpu_ms {(time.process_time() - start_cpu) * 1e3:.1f}")


def small(address, user, password, calls):
    session = Session(address, user, password)
    start, start_cpu = time.perf_counter(), time.process_time()
    zones = 0
    for _ in range(calls):
        _, items = records(session.get({"command": "listZones"}), "listzonesresponse", "zone", ZONE_FIELDS)
        zones = len(items)
    wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    print(f"zones {zones}")
    print(f"calls {calls}")
    print(f"wall_us_per_call {wall / calls * 1e6:.1f}")
    print(f"cpu_us_per_call {cpu / calls * 1e6:.1f}")


def main(argv):
    if len(argv) == 4 and argv[1] == "parse":
        parse(argv[2], int(argv[3]))
    elif len(argv) == 3 and argv[1] == "rss":
        rss(argv[2])
    elif len(argv) == 6 and argv[1] == "paged":
        paged(argv[2], argv[3], argv[4], int(argv[5]))
    elif len(argv) == 6 and argv[1] == "small":
        small(argv[2], argv[3], argv[4], int(argv[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
