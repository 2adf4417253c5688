// The controls: each feature with the range its description declares;
// a value the camera refuses is reported with the library's status text.
import { api } from './protocol.js';

const TRIGGERS = new Set(['TriggerSoftware', 'RGBTriggerSoftware']);

function rangeText(c) {
  if (c.type === 'enumeration' || TRIGGERS.has(c.name)) return '';
  if (c.min === null && c.max === null) return c.unit || '';
  const step = c.inc && c.inc > 1 ? `, steps of ${c.inc}` : '';
  return `${c.min ?? ''}..${c.max ?? ''}${step}${c.unit ? ` ${c.unit}` : ''}`;
}

export class ControlsPanel {
  constructor(form, onChanged) {
    this.form = form;
    this.onChanged = onChanged;
    form.addEventListener('submit', (e) => e.preventDefault());
  }

  show(controls) {
    this.form.replaceChildren();
    for (const c of controls) this.row(c);
  }

  row(c) {
    const id = `${c.name}[${c.index}]`;
    const label = document.createElement('span');
    label.className = 'label';
    label.textContent = c.label;
    const range = document.createElement('span');
    range.className = 'range';
    range.textContent = rangeText(c);
    const output = document.createElement('output');
    output.dataset.control = id;
    let input;
    if (TRIGGERS.has(c.name)) {
      input = document.createElement('button');
      input.type = 'button';
      input.textContent = 'Trigger';
      input.addEventListener('click', () => this.send(c, 1, output, input));
    } else if (c.type === 'enumeration') {
      input = document.createElement('select');
      for (const e of c.entries) input.add(new Option(e.name, e.value));
      if (c.value !== null) input.value = String(c.value);
      input.addEventListener('change', () => this.send(c, Number(input.value), output, input));
    } else {
      input = document.createElement('input');
      input.type = 'number';
      if (c.min !== null) input.min = c.min;
      if (c.max !== null) input.max = c.max;
      input.step = c.inc || 1;
      if (c.value !== null) input.value = c.value;
      input.addEventListener('change', () => {
        if (input.value.trim() === '' || !/^-?\d+$/.test(input.value.trim())) {
          output.className = 'refused';
          output.textContent = `${id}: "${input.value}" is not a whole number`;
          return;
        }
        this.send(c, Number(input.value), output, input);
      });
    }
    input.name = id;
    input.setAttribute('aria-label', c.label);
    const box = document.createElement('div');
    box.className = 'control';
    box.append(label, input, range, output);
    this.form.append(box);
  }

  async send(c, value, output, input) {
    const id = `${c.name}[${c.index}]`;
    output.className = '';
    output.textContent = `setting ${id} to ${value}…`;
    input.disabled = true;
    try {
      const query = new URLSearchParams({ name: c.name, index: c.index, value });
      const answer = await api(`/api/set?${query}`, { method: 'POST' });
      if (answer.refused) {
        output.className = 'refused';
        output.textContent = `${answer.refused}${answer.range ? ` (${answer.range})` : ''}`;
        return;
      }
      output.className = 'done';
      output.textContent = TRIGGERS.has(c.name) ? `${id}: triggered` : `${id} = ${answer.value ?? value}`;
      if (answer.value !== null && answer.value !== undefined && input.tagName !== 'BUTTON') input.value = answer.value;
      this.onChanged(c);
    } catch (e) {
      output.className = 'refused';
      output.textContent = e.message;
    } finally {
      input.disabled = false;
    }
  }
}
