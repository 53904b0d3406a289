// A flower of brush strokes: twelve petals, each one stroke of the brush,
// in colours going round from red to violet, on a green stem.
//
//   (cd clients/js && npm pack)                              once,
//   npm install --no-save ./clients/js/quillmere-0.1.0.tgz   then
//   node examples/flower.mjs [--petals 12]

import { connect } from 'quillmere';

const arg = (name, fallback) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? Number(process.argv[i + 1]) : fallback;
};
const petals = arg('--petals', 12);

// hue 0..1 to [r, g, b]
function rainbow(h) {
  const f = (n) => {
    const k = (n + h * 6) % 6;
    return 1 - Math.max(0, Math.min(k, 4 - k, 1));
  };
  return [f(5), f(3), f(1)];
}

// One arc: `steps` small steps, turning `bend` degrees between them.
async function arc(t, steps, length, bend) {
  for (let i = 0; i < steps; i++) {
    await t.forward(length);
    await t.left(bend);
  }
}

const t = await connect(); // QMERE_HOST/QMERE_PORT, else 127.0.0.1:2222
await t.name('flower');
await t.reset(); // at the origin, facing east
await t.brushMode(); // strokes of a brush instead of lines
await t.width(6);

// the stem first, from the centre down
await t.penColor(0.1, 0.6, 0.2);
await t.setHeading(-90);
await t.penDown();
await arc(t, 20, 6, 1);
await t.penUp();

for (let p = 0; p < petals; p++) {
  await t.goto(0, 0);
  await t.setHeading((360 / petals) * p);
  await t.penColor(rainbow(p / petals));
  await t.penDown(); // a petal: out along one arc, back along the other
  await arc(t, 12, 7, 5);
  await t.left(120);
  await arc(t, 12, 7, 5);
  await t.penUp(); // lifting the pen ends the brush stroke
}
await t.goto(-30, -150);
await t.penColor('white');
await t.write('a flower for you');
console.log(`painted ${petals} petals`);
t.close();
