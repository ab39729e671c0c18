#!/usr/bin/env bash
# Runs the collinear tool on the examples: the first thing a new user sees.
# Reports go to the terminal and to demo-out/, pictures to demo-out/*.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${COLLINEAR_TOOL:-build/tools/collinear}
out=demo-out
mkdir -p "$out"
ex=examples

step() { printf '\n\033[1m== %s\033[0m\n$ %s\n' "$1" "${*:2}"; }
run() {  # run NAME TITLE ARGS...: show, run, keep the report
  local name=$1 title=$2
  shift 2
  step "$title" "collinear $*"
  "$tool" "$@" | tee "$out/$name.txt"
}

run calibrate "Camera calibration with lens distortion (Heikkila, 491 points)" \
  calibrate $ex/heikkila-3d/points.txt --model k1k2k3k4 \
  --image-size 768,576 --plot $out/calibrate.svg --max-rows 10
z=$ex/zhang-plane
run calibrate-views "One camera from five views of a plane (Zhang)" \
  calibrate --target $z/target.txt \
  --views $z/view1.txt $z/view2.txt $z/view3.txt $z/view4.txt $z/view5.txt \
  --model k1k2k3k4 --image-size 640,480 --max-rows 5 \
  --plot $out/calibrate-views.svg --camera-out $out/zhang-camera.json
grep '^img1_' $z/points.txt > "$out/zhang-view1.txt"
run resect-camera "View 1 again, with the camera file and its distortion" \
  resect "$out/zhang-view1.txt" --camera $out/zhang-camera.json --max-rows 5
run resect "Space resection of an aerial photograph (f = 153.24 mm)" \
  resect $ex/resection-aerial-4pt/points.txt --focal 153.24 \
  --plot $out/resect.svg
run helmert "Helmert transformation (Ghilani's example)" \
  helmert $ex/helmert2d-ghilani/target.txt $ex/helmert2d-ghilani/source.txt \
  --apply $ex/helmert2d-ghilani/transform.txt
run intersect "Intersection of total-station rays" \
  intersect $ex/intersect/rays.txt

run project "Points projected into the total-station picture" \
  project $ex/project/project.json --image TS_0001 --visible
run beam "Rays through two pixels met with the ground" \
  beam $ex/project/project.json --image IMG_0101 \
  --pixel 710.66,3547.14 --pixel 3663.95,3743.24 --height 240.1
cp $ex/project/project.json "$out/project.json"
run orient "Orientation of four pictures from control points" \
  orient "$out/project.json" --write --max-rows 5
run triangulate "Points from the four oriented pictures" \
  triangulate "$out/project.json" --verbose --max-rows 8

printf '\nReports and pictures are in %s/: ' "$out"
ls "$out" | tr '\n' ' '
printf '\nOpen the .svg files in a browser.\n'
