"""Writes the Foxglove layout that `wenlo foxglove` recommends (wenlo-live.json beside this
file): a plot per body part, the health table and the loop's timing. Built with foxglove-sdk's
layout types, so that the file follows Foxglove's layout format; run it again after a change:
python tools/foxglove/make_layout.py"""
import pathlib
import sys

import foxglove.layouts as fl

# The robot's joints by body part, as the module names them.
BODY = {
    "left arm": ["left_arm_pitch", "left_arm_yaw"],
    "right arm": ["right_arm_pitch", "right_arm_yaw"],
    "nose": ["nose_top", "nose_left", "nose_right"],
    "neck": ["neck_yaw", "neck_pitch", "neck_roll"],
}
OUT = pathlib.Path(__file__).with_name("wenlo-live.json")


def joint_plot(part: str, joints: list[str]) -> fl.PlotPanel:
    return fl.PlotPanel(title=f"{part} (rad)", config=fl.PlotConfig(paths=[
        fl.PlotSeries(value=f'/joint_states.joints[:]{{name=="{j}"}}.position', label=j)
        for j in joints], show_legend=True))


def layout() -> fl.Layout:
    joints = fl.SplitContainer(direction="column", items=[
        fl.SplitItem(content=joint_plot(part, names)) for part, names in BODY.items()])
    timing = fl.PlotPanel(title="loop timing (ms)", config=fl.PlotConfig(paths=[
        fl.PlotSeries(value=f"/stats.{what}.{stat}", label=f"{what} {stat.removesuffix('_ms')}")
        for what in ("period", "read") for stat in ("mean_ms", "p99_ms")], show_legend=True))
    health = fl.TablePanel(title="health", config=fl.TableConfig(topic_path="/health.joints"))
    side = fl.SplitContainer(direction="column", items=[
        fl.SplitItem(proportion=2, content=health), fl.SplitItem(content=timing)])
    return fl.Layout(content=fl.SplitContainer(direction="row", items=[
        fl.SplitItem(proportion=3, content=joints), fl.SplitItem(proportion=2, content=side)]))


if __name__ == "__main__":
    OUT.write_text(layout().to_json() + "\n")
    print(f"wrote {OUT}", file=sys.stderr)
