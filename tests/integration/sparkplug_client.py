#!/usr/bin/python3
"""A Sparkplug B client for the gateway's tests that shares no code with the gateway: the payload schema
compiled for Python (protoc --python_out, Debian's python3-protobuf), mosquitto_sub and mosquitto_pub
as the MQTT clients.

  sparkplug_client.py sub PORT FILTER [PROBE_TOPIC]
      prints every message as one JSON line (those on PROBE_TOPIC too: a test publishes there until it
      sees one, to know that the subscription stands): {"topic", "retained", "seq", "timestamp", "metrics": [...]}
      (STATE topics: {"topic", "retained", "state": the JSON}; undecodable payloads: "error")
  sparkplug_client.py pub PORT TOPIC METRICS_JSON
      publishes a payload of the metrics given as JSON: [{"name"|"alias", "datatype", "boolean"|"int"|
      "long"|"double"|"string"}]; METRICS_JSON "hex:…" publishes those bytes as they are

The generated module is looked for in the folder named by SPARKPLUG_PY.
"""
import ctypes
import json
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.environ.get("SPARKPLUG_PY", "."))
import sparkplug_b_pb2 as pb  # noqa: E402

VALUE_FIELDS = ("int_value", "long_value", "float_value", "double_value", "boolean_value", "string_value",
                "bytes_value")


def property_value(v):
    field = v.WhichOneof("value")
    return {"type": v.type, "value": None if v.is_null or field is None else getattr(v, field)}


def metric_json(m):
    out = {"alias": m.alias if m.HasField("alias") else None}
    if m.HasField("name"):
        out["name"] = m.name
    if m.HasField("datatype"):
        out["datatype"] = pb.DataType.Name(m.datatype)
    if m.HasField("timestamp"):
        out["timestamp"] = m.timestamp
    field = m.WhichOneof("value")
    out["is_null"] = m.is_null
    out["value"] = None if m.is_null or field is None else getattr(m, field)
    if isinstance(out["value"], bytes):
        out["value"] = out["value"].hex()
    if m.HasField("properties"):
        out["properties"] = {k: property_value(v) for k, v in zip(m.properties.keys, m.properties.values)}
    return out


def die_with_parent():
    """In the child: end with this script, however it ends (the test kills it), never outlive it."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def subscribe(port, topic_filter, probe):
    args = ["/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-t", topic_filter, "-q", "1",
            "-F", "%r\t%t\t%x"]
    if probe:
        args += ["-t", probe]
    with subprocess.Popen(args, stdout=subprocess.PIPE, text=True, preexec_fn=die_with_parent) as sub:
        for line in sub.stdout:
            retained, topic, hexed = (line.rstrip("\n").split("\t") + ["", ""])[:3]
            raw = bytes.fromhex(hexed)
            out = {"topic": topic, "retained": retained == "1"}
            if topic == probe:
                out["probe"] = True
            elif "/STATE/" in topic:
                out["state"] = json.loads(raw.decode()) if raw else None
            else:
                p = pb.Payload()
                try:
                    p.ParseFromString(raw)
                    out["seq"] = p.seq if p.HasField("seq") else None
                    out["timestamp"] = p.timestamp if p.HasField("timestamp") else None
                    out["metrics"] = [metric_json(m) for m in p.metrics]
                except Exception as e:  # noqa: BLE001 - reported to the test
                    out["error"] = str(e)
            print(json.dumps(out), flush=True)


def publish(port, topic, metrics_json):
    if metrics_json.startswith("hex:"):
        data = bytes.fromhex(metrics_json[4:])
    else:
        p = pb.Payload()
        p.seq = 0
        for fields in json.loads(metrics_json):
            m = p.metrics.add()
            if "name" in fields:
                m.name = fields["name"]
            if "alias" in fields:
                m.alias = fields["alias"]
            if "datatype" in fields:
                m.datatype = pb.DataType.Value(fields["datatype"])
            for key, field in (("boolean", "boolean_value"), ("int", "int_value"), ("long", "long_value"),
                               ("double", "double_value"), ("string", "string_value")):
                if key in fields:
                    setattr(m, field, fields[key])
        data = p.SerializeToString()
    return subprocess.run(["/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-t", topic, "-q", "1",
                           "-s"], input=data, check=False).returncode


def main():
    if len(sys.argv) in (4, 5) and sys.argv[1] == "sub":
        subscribe(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) == 5 else None)
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "pub":
        return publish(sys.argv[2], sys.argv[3], sys.argv[4])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
