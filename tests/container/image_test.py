"""Builds the container image from a Release build, runs it with a volume for its state, talks to
it through published ports, stops it and starts it again to find a drained key still drained;
then checks that the Kubernetes manifests, with and without their components, name the ports,
probe path, user, stop signal and version that the image really has, and that their spread,
network policy and rules select the servers' pods.

Usage: python3 tests/container/image_test.py BUILD_DIR   (a configured Release build)
Runs as root with podman, runc and python3-yaml (scripts/setup.sh test); kubectl, when present,
renders the manifests. Removes the container and the image it made, whatever happens.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# On these hosts crun with systemd cgroups fails; runc with cgroupfs and explicit limits works.
PODMAN = ["podman", "--cgroup-manager=cgroupfs", "--runtime", "runc"]
RUN_LIMITS = ["--ulimit", "nofile=1024:1024", "--ulimit", "nproc=4096:4096"]
TOKEN_PORT = 6666
HTTP_PORT = 9666
HEALTH_PATH = "/healthz"
METRICS_PATH = "/metrics"
START_SECONDS = 10  # the longest wait for the server to answer its first handshake
REPLY_SECONDS = 5  # the longest wait for any one reply
STOP_SECONDS = 5  # the stop's timeout when kubectl cannot render the pods' grace period
COMMAND_SECONDS = 300  # the longest any podman or kubectl command may take
KEY = "image-test-key"
TOKEN_REQUEST = ('{"array":[{"accesskey":"%s","need_tokens":5,"gen_rate":1,"burst_size":5}]}\r\n'
                 % KEY).encode()
TOKEN_REPLY = ('{"array":[{"accesskey":"%s","tokens":5}]}\r\n' % KEY).encode()
STATE_DIRECTORY = "/var/lib/token-server"
# The entrypoint's line, the container log's only one while the server is healthy: one a start.
START_LINE = ("token-server %s starting: token requests on port 6666, HTTP (/metrics, /healthz) "
              "on port 9666; the trace on standard output is discarded\n")
COMPONENTS = ("prometheus-operator", "network-policy")
RULES = os.path.join(ROOT, "deploy", "prometheus", "token-server-rules.yml")


class CheckFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(command, check=True, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=COMMAND_SECONDS,
                            **options)
    if check and result.returncode != 0:
        raise CheckFailed("%s exited %d:\n%s%s" % (" ".join(command), result.returncode,
                                                   result.stdout, result.stderr))
    return result


def podman(*arguments, check=True):
    return run(PODMAN + list(arguments), check=check)


def inspect(name, template):
    return podman("inspect", "--format", template, name).stdout.strip()


# The image as it runs.

def start_container(image, name, volume):
    # Without systemd podman cannot time the health checks and says so on standard error, which
    # is not checked; the check is run once, on demand, below.
    podman("run", "--detach", "--name", name, *RUN_LIMITS, "--read-only", "--cap-drop=all",
           "--security-opt=no-new-privileges", "--volume", "%s:%s" % (volume, STATE_DIRECTORY),
           "--publish", "127.0.0.1::%d" % TOKEN_PORT, "--publish", "127.0.0.1::%d" % HTTP_PORT,
           image)


def published_port(name, port):
    address = podman("port", name, "%d/tcp" % port).stdout.split()[0]
    return int(address.rsplit(":", 1)[1])


def read_reply(connection):
    reply = b""
    while not reply.endswith(b"\r\n"):
        chunk = connection.recv(4096)
        expect(chunk, "the server closed the connection after %r" % reply)
        reply += chunk
    return reply


def connect_when_serving(port):
    """A connection whose handshake has been answered. Connecting is retried while the server
    starts; an answered handshake means the accept loop runs, and the HTTP port, opened before
    it, too."""
    deadline = time.monotonic() + START_SECONDS
    while True:
        try:
            connection = socket.create_connection(("127.0.0.1", port), timeout=REPLY_SECONDS)
            break
        except OSError:
            expect(time.monotonic() < deadline, "no connection within %d s" % START_SECONDS)
            time.sleep(0.1)
    connection.sendall(b"SHAKE\r\n")
    reply = read_reply(connection)
    expect(reply == b"OK\r\n", "handshake answered %r" % reply)
    return connection


def token_exchange(port):
    with connect_when_serving(port) as connection:
        connection.sendall(TOKEN_REQUEST)
        return read_reply(connection)


def check_token_exchange(port):
    reply = token_exchange(port)
    expect(reply == TOKEN_REPLY, "token request answered %r, not %r" % (reply, TOKEN_REPLY))
    print("port %d: SHAKE -> OK, %s -> %s" % (port, TOKEN_REQUEST.decode().strip(),
                                              reply.decode().strip()))


def check_state_kept(name, grace_seconds, version):
    """Drains the key, stops the container and starts it again: the key comes back drained, less
    the refill of 1 token a second meanwhile, where a new key would be granted its need."""
    reply = token_exchange(published_port(name, TOKEN_PORT))
    expect(reply == TOKEN_REPLY, "the draining request answered %r" % reply)
    drained = time.monotonic()
    check_stop(name, grace_seconds, version, starts=1)
    podman("start", name)
    reply = token_exchange(published_port(name, TOKEN_PORT))
    refill = int(time.monotonic() - drained)
    granted = json.loads(reply)["array"][0]["tokens"]
    expect(granted <= refill < 5, "after the restart the drained key got %d tokens, %d s on"
           % (granted, refill))
    status, body = http_get(published_port(name, HTTP_PORT), METRICS_PATH)
    expect("token_server_state_keys_loaded 1" in body.splitlines(), "no key loaded:\n" + body)
    print("drained, stopped, started: %s -> %s, %d s after draining" %
          (TOKEN_REQUEST.decode().strip(), reply.decode().strip(), refill))


def http_get(port, path):
    url = "http://127.0.0.1:%d%s" % (port, path)
    with urllib.request.urlopen(url, timeout=REPLY_SECONDS) as response:
        return response.status, response.read().decode()


def check_http(port, version):
    status, body = http_get(port, HEALTH_PATH)
    expect((status, body) == (200, "ok"), "GET %s: %d %r" % (HEALTH_PATH, status, body))
    status, body = http_get(port, METRICS_PATH)
    expect(status == 200, "GET %s: %d" % (METRICS_PATH, status))
    lines = body.splitlines()
    # The one handshake and the one token request sent so far, and the image's version.
    wanted = ['token_server_requests_total{kind="handshake"} 1',
              'token_server_requests_total{kind="token"} 1',
              'token_server_build_info{version="%s"} 1' % version]
    missing = [line for line in wanted if line not in lines]
    expect(not missing, "%s missing from the exposition:\n%s" % (missing, body))
    print("port %d: GET %s -> 200 ok; GET %s, %d lines, among them:" % (port, HEALTH_PATH,
                                                                       METRICS_PATH, len(lines)))
    for line in wanted:
        print("    " + line)


def check_process(name, user):
    """The server itself is PID 1 of the container, runs as the image's user, and its standard
    output, the trace, is /dev/null."""
    pid = inspect(name, "{{.State.Pid}}")
    with open("/proc/%s/comm" % pid) as comm:
        expect(comm.read().strip() == "token-server", "PID 1 is not token-server")
    with open("/proc/%s/status" % pid) as status:
        ids = {line.split(":")[0]: line.split()[1:] for line in status}
    uid, gid = user.split(":")
    expect(set(ids["Uid"]) == {uid} and set(ids["Gid"]) == {gid},
           "runs as uid %s gid %s, not %s" % (ids["Uid"], ids["Gid"], user))
    stdout = os.readlink("/proc/%s/fd/1" % pid)
    expect(stdout == "/dev/null", "standard output is %s" % stdout)


def check_healthcheck(name):
    result = podman("healthcheck", "run", name, check=False)
    expect(result.returncode == 0, "HEALTHCHECK failed: %s%s" % (result.stdout, result.stderr))
    print("HEALTHCHECK: %s" % inspect(name, "{{.State.Health.Status}}"))


def check_stop(name, grace_seconds, version, starts):
    started = time.monotonic()
    podman("stop", "--time", str(grace_seconds), name)
    seconds = time.monotonic() - started
    status = inspect(name, "{{.State.ExitCode}}")
    expect(status == "0" and seconds < grace_seconds,
           "stop took %.1f s of %d, exit status %s" % (seconds, grace_seconds, status))
    print("podman stop: exit status 0 after %.2f s (stop timeout %d s)" % (seconds, grace_seconds))
    logs = podman("logs", name)
    expect(logs.stdout + logs.stderr == START_LINE % version * starts,
           "the container logged:\n%s%s" % (logs.stdout, logs.stderr))
    print("log: " + START_LINE.strip() % version)


def check_state_volume(container, volume_claims, image_config):
    """The state directory the image declares is a volume from the claim template, and the
    server is told where it is."""
    expect(list(image_config.get("Volumes", {})) == [STATE_DIRECTORY] and
           "STATE_DIRECTORY=" + STATE_DIRECTORY in image_config["Env"],
           "the image's volumes %s" % image_config.get("Volumes"))
    (mount,) = container["volumeMounts"]
    (claim,) = volume_claims
    env = {variable["name"]: variable["value"] for variable in container["env"]}
    expect(mount["mountPath"] == STATE_DIRECTORY and mount["name"] == claim["metadata"]["name"] and
           env.get("STATE_DIRECTORY") == STATE_DIRECTORY and
           claim["spec"]["resources"]["requests"]["storage"] == "1Gi",
           "state volume %s, claim %s" % (mount, claim))


# The manifests against the image.

def render_manifests(with_component):
    """The objects kubectl kustomize renders from deploy/kubernetes as shipped, or with its
    commented components lines switched on."""
    commented = "# components:\n" + "".join("#   - %s\n" % name for name in COMPONENTS)
    switched_on = "components:\n" + "".join("  - %s\n" % name for name in COMPONENTS)
    with tempfile.TemporaryDirectory() as work:
        directory = os.path.join(work, "kubernetes")
        shutil.copytree(os.path.join(ROOT, "deploy", "kubernetes"), directory)
        if with_component:
            path = os.path.join(directory, "kustomization.yaml")
            with open(path) as file:
                text = file.read()
            switched = text.replace(commented, switched_on)
            expect(switched != text, "kustomization.yaml lacks the commented components lines")
            with open(path, "w") as file:
                file.write(switched)
        rendered = run(["kubectl", "kustomize", directory])
    return {manifest["kind"]: manifest for manifest in yaml.safe_load_all(rendered.stdout)}


def resolve_port(port, named_ports):
    return named_ports[port] if isinstance(port, str) else port


def check_manifests(manifests, image_config, version):
    pod = manifests["StatefulSet"]["spec"]["template"]
    (container,) = pod["spec"]["containers"]
    named_ports = {port["name"]: port["containerPort"] for port in container["ports"]}
    exposed = {int(port.split("/")[0]) for port in image_config["ExposedPorts"]}
    expect(set(named_ports.values()) == exposed == {TOKEN_PORT, HTTP_PORT},
           "container ports %s, image exposes %s" % (named_ports, exposed))
    for probe in ("livenessProbe", "readinessProbe"):
        request = container[probe]["httpGet"]
        expect(resolve_port(request["port"], named_ports) == HTTP_PORT and
               request["path"] == HEALTH_PATH, "%s %s" % (probe, request))
    annotations = pod["metadata"]["annotations"]
    expect(annotations["prometheus.io/port"] == str(HTTP_PORT) and
           annotations["prometheus.io/path"] == METRICS_PATH, "scrape annotations")
    # Set through the kustomization's images: entry, which names the version.
    expect(container["image"] == "token-server:" + version, "image %s" % container["image"])
    # The image's entrypoint is what keeps the trace out of the pod's log.
    expect("command" not in container, "the manifest replaces the image's entrypoint")

    pod_security, security = pod["spec"]["securityContext"], container["securityContext"]
    user = "%s:%s" % (pod_security["runAsUser"], pod_security["runAsGroup"])
    expect(user == image_config["User"] and pod_security["runAsNonRoot"],
           "runs as %s, the image as %s" % (user, image_config["User"]))
    expect(pod_security["seccompProfile"]["type"] == "RuntimeDefault" and
           security["readOnlyRootFilesystem"] and security["capabilities"]["drop"] == ["ALL"] and
           security["allowPrivilegeEscalation"] is False, "security context")
    # Kubernetes stops a container with the image's stop signal, unless the manifest names one.
    expect(image_config["StopSignal"] == "SIGTERM" and
           "stopSignal" not in container.get("lifecycle", {}), "stop signal")
    check_state_volume(container, manifests["StatefulSet"]["spec"]["volumeClaimTemplates"],
                       image_config)

    labels = pod["metadata"]["labels"]
    (spread,) = pod["spec"]["topologySpreadConstraints"]
    expect(spread["topologyKey"] == "kubernetes.io/hostname" and
           spread["labelSelector"]["matchLabels"].items() <= labels.items(),
           "topology spread %s" % spread)
    service = manifests["Service"]
    expect(service["spec"]["clusterIP"] == "None" and
           manifests["StatefulSet"]["spec"]["serviceName"] == service["metadata"]["name"],
           "the StatefulSet's Service is not headless")
    for selector in (service["spec"]["selector"],
                     manifests["PodDisruptionBudget"]["spec"]["selector"]["matchLabels"]):
        expect(selector.items() <= labels.items(), "selector %s misses the pods" % selector)
    service_ports = {port["name"]: resolve_port(port["targetPort"], named_ports)
                     for port in service["spec"]["ports"]}
    expect(service_ports == named_ports, "Service ports %s" % service_ports)
    (endpoint,) = manifests["ServiceMonitor"]["spec"]["endpoints"]
    expect(service_ports.get(endpoint["port"]) == HTTP_PORT and endpoint["path"] == METRICS_PATH,
           "ServiceMonitor endpoint %s" % endpoint)
    monitor_selector = manifests["ServiceMonitor"]["spec"]["selector"]["matchLabels"]
    expect(monitor_selector.items() <= service["metadata"]["labels"].items(),
           "ServiceMonitor selector %s" % monitor_selector)
    check_network_policy(manifests["NetworkPolicy"]["spec"], labels, named_ports)
    with open(RULES) as file:
        rules = yaml.safe_load(file)
    expect(manifests["PrometheusRule"]["spec"]["groups"] == rules["groups"],
           "the PrometheusRule differs from %s" % RULES)


def check_network_policy(policy, labels, named_ports):
    """Each port is admitted from its own peers only: 6666 from client pods, 9666 from the
    monitoring namespace."""
    expect(policy["podSelector"]["matchLabels"].items() <= labels.items() and
           policy["policyTypes"] == ["Ingress"], "NetworkPolicy selects %s" % policy)
    admitted = {}
    for rule in policy["ingress"]:
        (port,) = rule["ports"]
        admitted[resolve_port(port["port"], named_ports)] = rule["from"]
    expect(admitted.keys() == {TOKEN_PORT, HTTP_PORT}, "NetworkPolicy ports %s" % admitted)
    ((clients,), (monitoring,)) = admitted[TOKEN_PORT], admitted[HTTP_PORT]
    expect(clients["podSelector"]["matchLabels"] == {"token-server/client": "true"},
           "port %d admitted from %s" % (TOKEN_PORT, clients))
    expect(monitoring == {"namespaceSelector": {"matchLabels": {
               "kubernetes.io/metadata.name": "monitoring"}}},
           "port %d admitted from %s" % (HTTP_PORT, monitoring))


def manifests_if_kubectl():
    if shutil.which("kubectl") is None:
        print("kubectl not found: the Kubernetes manifests are neither rendered nor checked")
        return None
    shipped = render_manifests(with_component=False)
    expect(set(shipped) == {"Service", "StatefulSet", "PodDisruptionBudget"},
           "deploy/kubernetes renders %s" % sorted(shipped))
    manifests = render_manifests(with_component=True)
    print("kubectl kustomize deploy/kubernetes: %s; with its components: %s" %
          (", ".join(shipped), ", ".join(manifests)))
    return manifests


def main():
    build_dir = os.path.abspath(sys.argv[1])
    suffix = str(os.getpid())
    image = "localhost/token-server-test:" + suffix
    name = "token-server-test-" + suffix
    volume = "token-server-test-state-" + suffix
    try:
        built = run(["bash", os.path.join(ROOT, "scripts", "image.sh")],
                    env=dict(os.environ, TOKEN_BUILD_DIR=build_dir, TOKEN_IMAGE=image))
        print("image: " + built.stdout.splitlines()[-1])
        version = run([os.path.join(build_dir, "client", "token-client"),
                       "--version"]).stdout.split()[1]
        image_config = json.loads(podman("image", "inspect", "--format", "{{json .Config}}",
                                         image).stdout)
        manifests = manifests_if_kubectl()
        if manifests is not None:
            check_manifests(manifests, image_config, version)
        # The container is stopped as Kubernetes would stop it, with the pods' grace period.
        grace_seconds = (manifests["StatefulSet"]["spec"]["template"]["spec"]
                         ["terminationGracePeriodSeconds"] if manifests else STOP_SECONDS)

        start_container(image, name, volume)
        check_token_exchange(published_port(name, TOKEN_PORT))
        check_http(published_port(name, HTTP_PORT), version)
        check_process(name, image_config["User"])
        check_healthcheck(name)
        check_state_kept(name, grace_seconds, version)
        check_stop(name, grace_seconds, version, starts=2)
    except (CheckFailed, OSError, subprocess.TimeoutExpired) as failure:
        print("image test failed: %s" % failure)
        return 1
    finally:
        podman("rm", "--force", "--time", "0", name, check=False)
        podman("volume", "rm", "--force", volume, check=False)
        podman("rmi", "--force", image, check=False)
    print("image test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
