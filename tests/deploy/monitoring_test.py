"""The monitoring kit under deploy/ against the real thing.

  python3 tests/deploy/monitoring_test.py rules
      promtool checks the rules and runs their unit tests (each alert fires, and stays silent on
      its near miss), and the PrometheusRule of the Kubernetes component carries the same groups.
  python3 tests/deploy/monitoring_test.py dashboard SERVER_BINARY
      runs the server on its fixed ports under the port's lock (TOKEN_PORT_LOCK), a Prometheus
      that scrapes it and evaluates the rules, sends a short load, then runs every query of every
      dashboard panel: each must parse and return data. Prints each panel's values.
"""

import fcntl
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RULES = os.path.join(ROOT, "deploy", "prometheus", "token-server-rules.yml")
RULE_TESTS = os.path.join(ROOT, "deploy", "prometheus", "token-server-rules.test.yml")
PROMETHEUS_RULE = os.path.join(ROOT, "deploy", "kubernetes", "prometheus-operator",
                               "prometheusrule.yaml")
DASHBOARD = os.path.join(ROOT, "deploy", "grafana", "token-server-dashboard.json")
TOKEN_PORT = 6666
METRICS_PORT = 9666
JOB = "token_server"  # as the README's scrape configuration names it
START_SECONDS = 60  # Prometheus takes a few seconds to start on a loaded machine
DATA_SECONDS = 30  # for every panel to have data once the load is over
LOAD_REQUESTS = 2000
# Grafana's own variables, as a query with every server selected would read them.
DASHBOARD_VARIABLES = {"$instance": ".*", "${datasource}": ""}
# Accept errors appear only when an accept has failed, so their panel may have no data.
SERIES_ONLY_ON_FAULTS = ("token_server:accept_errors",)


class CheckFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(command):
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    expect(result.returncode == 0, "%s exited %d:\n%s%s" % (" ".join(command), result.returncode,
                                                           result.stdout, result.stderr))
    return result.stdout


def check_rules():
    print(run(["promtool", "check", "rules", RULES]).strip())
    print(run(["promtool", "test", "rules", RULE_TESTS]).strip())
    with open(RULES) as file:
        groups = yaml.safe_load(file)["groups"]
    with open(PROMETHEUS_RULE) as file:
        carried = yaml.safe_load(file)["spec"]["groups"]
    expect(carried == groups, "%s differs from %s" % (PROMETHEUS_RULE, RULES))
    print("the PrometheusRule carries the %d groups of the rules file" % len(groups))


# The dashboard against a live Prometheus.

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def panel_queries():
    """(panel title, query) for every query of every panel, Grafana's variables filled in."""
    with open(DASHBOARD) as file:
        dashboard = json.load(file)
    queries = []
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            expression = target["expr"]
            for variable, value in DASHBOARD_VARIABLES.items():
                expression = expression.replace(variable, value)
            queries.append((panel["title"], expression))
    expect(queries, "the dashboard has no queries")
    return queries


def send_load():
    """Handshakes, one request that is not JSON, one refused, and token requests on a few keys
    drawn past their bursts, so that some entries are limited."""
    with socket.create_connection(("127.0.0.1", TOKEN_PORT), timeout=5) as connection:
        reader = connection.makefile("rb")
        # Neither of the middle two is answered.
        connection.sendall(b"SHAKE\r\nnot json\r\n{\"array\":[{}]}\r\nSHAKE\r\n")
        expect(reader.readline() + reader.readline() == b"OK\r\nOK\r\n",
               "no answer to the handshakes")
        for request in range(LOAD_REQUESTS):
            connection.sendall(('{"array":[{"accesskey":"key-%d","need_tokens":3,"gen_rate":10,'
                                '"burst_size":20}]}\r\n' % (request % 10)).encode())
            expect(reader.readline().startswith(b'{"array"'), "no token reply")


class Prometheus:
    """Prometheus on a port of its own, scraping the server every 200 ms and evaluating the
    rules every second, its storage in a directory that goes with it."""

    def __init__(self):
        self.port = free_port()
        self.directory = tempfile.mkdtemp(prefix="token_server_test_prometheus.")
        config = {"global": {"scrape_interval": "200ms", "scrape_timeout": "150ms",
                             "evaluation_interval": "1s"},
                  "rule_files": [RULES],
                  "scrape_configs": [{"job_name": JOB, "static_configs": [
                      {"targets": ["127.0.0.1:%d" % METRICS_PORT]}]}]}
        with open(os.path.join(self.directory, "prometheus.yml"), "w") as file:
            yaml.safe_dump(config, file)
        self.log = open(os.path.join(self.directory, "log"), "w+")
        self.process = subprocess.Popen(
            ["prometheus", "--config.file=" + os.path.join(self.directory, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(self.directory, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=error"],
            stdout=self.log, stderr=subprocess.STDOUT)

    def query(self, expression):
        """The result list of an instant query; CheckFailed when it does not parse."""
        url = "http://127.0.0.1:%d/api/v1/query?%s" % (
            self.port, urllib.parse.urlencode({"query": expression}))
        try:
            with urllib.request.urlopen(url, timeout=5) as response:
                answer = json.load(response)
        except urllib.error.HTTPError as error:
            raise CheckFailed("%s: %s" % (expression, error.read().decode()))
        expect(answer["status"] == "success", "%s: %s" % (expression, answer))
        return answer["data"]["result"]

    def wait_until(self, expression, seconds):
        deadline = time.monotonic() + seconds
        while True:
            try:
                if self.query(expression):
                    return True
            except (OSError, CheckFailed):
                pass
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.seek(0)
        log = self.log.read()
        self.log.close()
        shutil.rmtree(self.directory, ignore_errors=True)
        return log


def start_server(binary, state_directory):
    output = tempfile.TemporaryFile()
    # With durable state the state figures have data; a server without it ignores the variable.
    server = subprocess.Popen([binary], stdout=output, stderr=subprocess.STDOUT,
                              env=dict(os.environ, STATE_DIRECTORY=state_directory))
    deadline = time.monotonic() + 10
    while True:
        output.seek(0)
        if b"listen on port %d\n" % TOKEN_PORT in output.read():
            return server
        expect(server.poll() is None and time.monotonic() < deadline,
               "the server did not start")
        time.sleep(0.05)


def shown(result):
    return ", ".join("%s%s" % (sample["value"][1], "{%s}" % ",".join(
        "%s=%s" % item for item in sorted(sample["metric"].items()) if item[0] not in ("job", "__name__"))
        if sample["metric"] else "") for sample in result)


def check_dashboard(binary):
    queries = panel_queries()
    with open(os.environ["TOKEN_PORT_LOCK"], "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with tempfile.TemporaryDirectory() as state_directory:
            server = start_server(binary, state_directory)
            prometheus = Prometheus()
            try:
                expect(prometheus.wait_until('up{job="%s"} == 1' % JOB, START_SECONDS),
                       "Prometheus scraped nothing")
                send_load()
                missing = check_queries(prometheus, queries)
            finally:
                log = prometheus.close()
                server.send_signal(signal.SIGTERM)
                server.wait(timeout=10)
    expect(not missing, "no data for:\n  %s\nPrometheus log:\n%s" % ("\n  ".join(missing), log))


def may_lack_data(expression):
    return any(name in expression for name in SERIES_ONLY_ON_FAULTS)


def check_queries(prometheus, queries):
    """Waits until each query has data, then prints it; returns those left without. The queries
    that may lack data come last and get no wait of their own: by then the rules have run."""
    deadline = time.monotonic() + DATA_SECONDS
    missing = []
    for title, expression in sorted(queries, key=lambda query: may_lack_data(query[1])):
        result = prometheus.query(expression)  # parses, or CheckFailed
        while not result and not may_lack_data(expression) and time.monotonic() < deadline:
            time.sleep(0.2)
            result = prometheus.query(expression)
        if result:
            print("%s: %s\n    = %s" % (title, expression, shown(result)))
        elif may_lack_data(expression):
            print("%s: %s\n    = no data (no fault)" % (title, expression))
        else:
            missing.append("%s: %s" % (title, expression))
    return missing


def main():
    try:
        if sys.argv[1:2] == ["rules"]:
            check_rules()
        elif sys.argv[1:2] == ["dashboard"] and len(sys.argv) == 3:
            check_dashboard(sys.argv[2])
        else:
            print(__doc__)
            return 2
    except (CheckFailed, OSError, subprocess.SubprocessError) as failure:
        print("monitoring test failed: %s" % failure)
        return 1
    print("monitoring test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
