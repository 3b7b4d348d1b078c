// A series/parallel drawing of the circuit text: "-" joins in series,
// p(a,b) (or (a,b)) in parallel.
export function schematic(text) {
  let i = 0;
  const element = () => {
    const start = i;
    while (i < text.length && /[A-Za-z0-9_.]/.test(text[i])) i++;
    return text.slice(start, i);
  };
  const series = () => {
    const box = document.createElement("div");
    box.className = "s-series";
    for (;;) {
      box.append(item());
      if (text[i] !== "-") return box;
      i++;
      box.append(Object.assign(document.createElement("span"), { className: "s-wire" }));
    }
  };
  const item = () => {
    let name = "";
    if (text[i] !== "(") name = element();
    if (text[i] === "(" && (name === "p" || name === "")) {
      i++;
      const box = document.createElement("div");
      box.className = "s-parallel";
      for (;;) {
        box.append(series());
        if (text[i] === ",") i++;
        else break;
      }
      i++; // ")"
      return box;
    }
    return Object.assign(document.createElement("span"), { className: "s-element", textContent: name });
  };
  text = text.replace(/\s+/g, "");
  return series();
}
